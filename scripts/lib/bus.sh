# Private D-Bus for the demo and end-to-end tests. Source it, then:
#   bus_start          starts a dbus-daemon with a permissive configuration in a temporary
#                      directory; sets BUS_ADDRESS, BUS_PID and BUS_DIR
#   bus_stop           ends it and removes the directory (safe to call twice)
#   wait_for_line FILE PATTERN SECONDS
#                      waits until a line of FILE matches the extended regex PATTERN;
#                      prints that line; fails after SECONDS
# The system bus policy would not let a test program own org.bluez; this one lets anybody own
# any name and send or receive anything.

bus_start() {
  BUS_DIR=$(mktemp -d "${TMPDIR:-/tmp}/chair-bus.XXXXXX") || return 1
  cat > "$BUS_DIR/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>unix:path=$BUS_DIR/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
  local out
  out=$(dbus-daemon --config-file="$BUS_DIR/bus.conf" --fork --print-address=1 --print-pid=1 2>"$BUS_DIR/daemon.err") || {
    cat "$BUS_DIR/daemon.err" >&2
    rm -rf "$BUS_DIR"
    return 1
  }
  BUS_ADDRESS=$(printf '%s\n' "$out" | sed -n 1p)
  BUS_PID=$(printf '%s\n' "$out" | sed -n 2p)
  export BUS_ADDRESS BUS_PID BUS_DIR
}

bus_stop() {
  if [ -n "${BUS_PID:-}" ]; then
    kill "$BUS_PID" 2>/dev/null || true
    BUS_PID=
  fi
  if [ -n "${BUS_DIR:-}" ] && [ -d "$BUS_DIR" ]; then
    rm -rf "$BUS_DIR"
  fi
  BUS_DIR=
}

wait_for_line() {
  local file=$1 pattern=$2 seconds=$3 i
  for ((i = 0; i < seconds * 20; i++)); do
    if [ -f "$file" ] && grep -Eq -- "$pattern" "$file"; then
      grep -E -m1 -- "$pattern" "$file"
      return 0
    fi
    sleep 0.05
  done
  return 1
}
