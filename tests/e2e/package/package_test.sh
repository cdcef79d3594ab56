#!/usr/bin/env bash
# The Debian package of a finished build, checked the way a user would meet it: lintian finds no
# error; unpacked into a fresh root, its programs run from their installed places (chairctl finds
# the service under libexec/ by itself), and so would its systemd user units; its Depends names
# the package of every shared library the binaries load; every program has its manual page.
# Usage: package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/chair-package.XXXXXX")
service_pid=
cleanup() {
  [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
[ -n "$version" ] || { echo "no CPackConfig.cmake with a version in $build" >&2; exit 1; }

# ---- the package -----------------------------------------------------------------------------
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) || {
  cat "$work/cpack.log" >&2
  exit 1
}
deb=$(ls "$work"/out/*.deb)
echo "package: $(basename "$deb")"

lintian_status=0
lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || lintian_status=$?
grep -v 'running with root privileges' "$work/lintian.log" || true
[ "$lintian_status" -eq 0 ] || fail "lintian reports errors"

root=$work/root
dpkg-deb -x "$deb" "$root"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"

# ---- programs from their installed places ------------------------------------------------------
bin=$root/usr/bin
service=$root/usr/libexec/chair-service/chair-service
[ -x "$service" ] || fail "the service is not at usr/libexec/chair-service/chair-service"

for program in chairctl chair-sim chair-panel; do
  if [ -e "$bin/$program" ]; then
    got=$("$bin/$program" --version 2>&1) || fail "$program --version exits with $?"
    [ "$got" = "$program $version" ] || fail "$program --version printed '$got', not '$program $version'"
    [ -e "$root/usr/share/man/man1/$program.1.gz" ] || fail "no manual page for $program"
  elif [ "$program" != chair-panel ]; then
    fail "usr/bin/$program is missing"
  fi
done
[ -e "$root/usr/share/man/man8/chair-service.8.gz" ] || fail "no manual page for chair-service"
[ -e "$root/usr/share/bash-completion/completions/chairctl" ] || fail "no bash completion for chairctl"
# A systemd user unit must start a program the package installs, at its installed path.
for unit in "$root"/usr/lib/systemd/user/*.service; do
  [ -e "$unit" ] || continue
  program=$(sed -n 's/^ExecStart=[-@:+!]*\([^ ]*\).*/\1/p' "$unit")
  [ -x "$root$program" ] || fail "${unit#"$root"} starts '$program', which the package does not install"
done
if [ -e "$bin/chair-panel" ]; then
  desktop=$root/usr/share/applications/chair-panel.desktop
  [ -e "$desktop" ] || fail "no desktop entry for chair-panel"
  [ -e "$root/usr/share/icons/hicolor/scalable/apps/chair-panel.svg" ] || fail "no icon for chair-panel"
  desktop-file-validate "$desktop" || fail "the desktop entry does not validate"
fi

# The service's start-up, as a UI sees it: the address line on standard output.
export TAMRO_DATA_DIR=$work/data DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-bus
"$service" >"$work/service.out" 2>"$work/service.err" &
service_pid=$!
for _ in $(seq 100); do
  grep -q '^LISTEN_URL=http://127\.0\.0\.1:[0-9]*$' "$work/service.out" && break
  sleep 0.1
done
if url=$(sed -n 's/^LISTEN_URL=//p' "$work/service.out") && [ -n "$url" ]; then
  "$bin/chairctl" --url "$url" --json bind get >"$work/bind.out" || fail "chairctl cannot talk to the unpacked service"
  grep -q '"autoConnect":true' "$work/bind.out" || fail "unexpected binding: $(cat "$work/bind.out")"
else
  fail "the unpacked service did not announce its address: $(cat "$work/service.err")"
fi
kill "$service_pid" 2>/dev/null
wait "$service_pid" 2>/dev/null || true
service_pid=
# chairctl --spawn finds the service in ../libexec/chair-service/ by itself.
"$bin/chairctl" --spawn --json bind get >"$work/spawn.out" 2>"$work/spawn.err" ||
  fail "chairctl --spawn from usr/bin: $(cat "$work/spawn.err")"

# ---- dependencies ------------------------------------------------------------------------------
declare -A depended
IFS=',' read -ra items <<<"$depends"
for item in "${items[@]}"; do
  for alternative in ${item//|/ }; do
    case $alternative in (*[a-z0-9]*) ;; (*) continue ;; esac
    name=${alternative%%(*}
    name=${name// /}
    [ -n "$name" ] && depended[${name%%:*}]=1
  done
done
ldconfig -p >"$work/ldconfig"
while IFS= read -r -d '' file; do
  readelf -h "$file" >/dev/null 2>&1 || continue
  while read -r lib; do
    path=$(awk -v lib="$lib" '$1 == lib && /x86-64|x86_64/ { print $NF; exit }' "$work/ldconfig")
    [ -n "$path" ] || path=$(awk -v lib="$lib" '$1 == lib { print $NF; exit }' "$work/ldconfig")
    [ -n "$path" ] || { fail "${file#"$root"} needs $lib, which this system does not have"; continue; }
    # The file may be known to dpkg under the link's name or under the real one.
    owner=$( (dpkg -S "$(readlink -f "$path")" || dpkg -S "$path") 2>/dev/null | sed -n '1s/:.*//p')
    [ -n "$owner" ] || { fail "no Debian package owns $path (needed by ${file#"$root"})"; continue; }
    [ -n "${depended[$owner]:-}" ] || fail "${file#"$root"} loads $lib from $owner, which Depends does not name"
  done < <(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
done < <(find "$root" -type f -perm -u+x -print0)

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "package checks passed"
