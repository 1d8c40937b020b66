# Sourced by the scripts that run Windows programs under Wine.
# start_xvfb FIRST LAST [SCREEN]: when DISPLAY is unset, starts Xvfb on the
# first free display number in FIRST..LAST (screen 1024x768x24 unless given),
# exports DISPLAY and sets xvfb_pid.
xvfb_pid=""
start_xvfb() {
  [ -z "${DISPLAY:-}" ] || return 0
  local n
  for n in $(seq "$1" "$2"); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 "${3:-1024x768x24}" -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
    return 0
  done
}
stop_xvfb() { [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true; }
