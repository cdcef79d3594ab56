#!/usr/bin/env bash
# Fails when a folder includes a header of a folder it must not depend on: arrows only run
# down (docs/architecture.md). Usage: check_layers.sh [SOURCE_ROOT]
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
cd "$root"

# What each folder may include besides itself; every arrow of the architecture diagram.
declare -A allowed=(
  [src/common]=""
  [src/sys]="src/common"
  [src/ble/protocol]="src/common"
  [src/ble/platform]="src/common"
  [src/ble/none]="src/common src/ble/platform"
  [src/ble/bluez]="src/common src/sys src/ble/platform"
  [src/ble/winrt]="src/common src/sys src/ble/platform"
  [src/ble/link]="src/common src/sys src/ble/protocol src/ble/platform"
  [src/ble/scanner]="src/common src/sys src/ble/platform"
  [src/paired]="src/common src/sys src/ble/platform"
  [src/bind]="src/common src/sys src/ble/protocol"
  [src/autoconnect]="src/common src/sys src/ble/protocol src/ble/platform src/ble/link src/bind"
  [src/http]="src/common src/sys"
  [src/service]="src/common src/sys src/ble/protocol src/ble/platform src/ble/link src/ble/scanner src/paired src/bind src/autoconnect src/http"
  [src/main]="src/common src/sys src/ble/platform src/ble/bluez src/ble/winrt src/service"
  [tools/chair-model]="src/common src/ble/protocol"
  [tools/chair-sim]="src/common src/sys src/ble/protocol src/ble/bluez tools/chair-model"
  [tools/chairctl]="src/common src/sys src/ble/protocol src/bind"
  [tools/chair-panel]="src/common src/sys src/http"
)

# The folder a path belongs to: the longest key of `allowed` it starts with.
owner() {
  local path=$1 best="" key
  for key in "${!allowed[@]}"; do
    if [[ $path == "$key"/* ]] && [ ${#key} -gt ${#best} ]; then best=$key; fi
  done
  printf '%s' "$best"
}

status=0
while IFS= read -r file; do
  from=$(owner "$file")
  [ -n "$from" ] || continue
  while IFS= read -r inc; do
    # Quoted includes name a path from the source root ("ble/link/chair_link.h") or, in the
    # tools, from the repository root ("tools/chair-model/chair_model.h"), or a file beside
    # the includer.
    if [ -e "src/$inc" ]; then target="src/$inc"
    elif [ -e "$inc" ]; then target=$inc
    else continue
    fi
    to=$(owner "$target")
    [ -n "$to" ] && [ "$to" != "$from" ] || continue
    case " ${allowed[$from]} " in
      *" $to "*) ;;
      *) echo "$file includes $inc: $from must not depend on $to"; status=1 ;;
    esac
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(git ls-files -- src tools 2>/dev/null | grep -E '\.(h|cpp)$' || find src tools -name '*.h' -o -name '*.cpp')
[ "$status" -eq 0 ] && echo "layering: every include runs down"
exit "$status"
