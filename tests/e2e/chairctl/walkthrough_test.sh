#!/usr/bin/env bash
# The README's walk-through as a reader follows it: scripts/demo --keep on the build under
# test, the line it prints pasted into the shell, then every command between the README's
# markers in order, each of which must succeed; at the end the demo's own stop line.
# Usage: walkthrough_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/chair-walkthrough.XXXXXX")
stop_line=
cleanup() {
  [ -n "$stop_line" ] && eval "$stop_line" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

cd "$src"
if ! CHAIR_BUILD_DIR=$build scripts/demo --keep --no-build >"$work/demo.out" 2>&1; then
  cat "$work/demo.out"
  echo "FAIL: scripts/demo --keep did not leave a service running" >&2
  exit 1
fi
stop_line=$(sed -n 's/^ *stop them: //p' "$work/demo.out")
paste_line=$(grep '^export ' "$work/demo.out" || true)
grep -q 'is connected to the service' "$work/demo.out" || { cat "$work/demo.out"; echo "FAIL: the demo does not say the chair is connected" >&2; exit 1; }
[ -n "$stop_line" ] && [ -n "$paste_line" ] || { cat "$work/demo.out"; echo "FAIL: no paste or stop line" >&2; exit 1; }
eval "$paste_line"
[ "$(command -v chairctl)" = "$build/bin/chairctl" ] || { echo "FAIL: the pasted PATH finds $(command -v chairctl)" >&2; exit 1; }

# The lines between the markers, indented as code; the demo and the paste line are done above.
mapfile -t lines < <(sed -n '/^<!-- walk-through -->$/,/^<!-- end of walk-through -->$/p' README.md |
  sed -n 's/^    //p' | grep -v -E '^(scripts/demo|export) ')
[ "${#lines[@]}" -ge 5 ] || { echo "FAIL: no walk-through found in README.md" >&2; exit 1; }
for line in "${lines[@]}"; do
  echo "\$ $line"
  bash -c "$line" </dev/null 2>&1 | sed 's/^/    /'
  code=${PIPESTATUS[0]}
  [ "$code" -eq 0 ] || { echo "FAIL: exit status $code" >&2; exit 1; }
done

pids=$(sed -n 's/^kill \([0-9 ]*\);.*/\1/p' <<<"$stop_line")
eval "$stop_line"
stop_line=
for pid in $pids; do
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  ! kill -0 "$pid" 2>/dev/null || { echo "FAIL: the stop line left pid $pid running" >&2; exit 1; }
done
echo "walk-through passed"
