#!/usr/bin/env bash
# Runs the terminal against the built-in unit simulator.
#
# Builds the program, starts quorlane-unit (a pseudo-terminal linked as COM 5 and a TCP
# listener on 127.0.0.1:23) and then the terminal, both with a QUORLANE_HOME of their own
# (build/demo-home), so your real port links and log are never touched, and with
# QUORLANE_LOOPBACK_ONLY=1, so nothing can reach beyond this machine. Both run inside a
# network namespace with only the loopback interface when the machine allows it (as a
# normal user: a user and network namespace, where port 23 is free to bind).
#
# With a display the window opens there; without one the demo runs under Xvfb. On X11
# (and always under Xvfb) it then plays the operator with xdotool: it waits for the
# address answer, clicks "Connect TCP/IP", types "rdp", switches polling on and lets the
# readings scroll by, taking screenshots along the way. Close the window to end the demo
# (under Xvfb it ends by itself after the last screenshot).
set -euo pipefail
QUORLANE_ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$QUORLANE_ROOT/scripts/lib.sh"

BUILD=$QUORLANE_ROOT/build
DEMO_HOME=$BUILD/demo-home

if [ "${1:-}" != "--inside" ]; then
  quorlane_install_packages
  quorlane_build default "$BUILD" quorlane quorlane-unit
  rm -rf "$DEMO_HOME"
  mkdir -p "$DEMO_HOME"
  if [ "$(id -u)" != 0 ] && ! unshare -rn true 2>/dev/null; then
    cat >&2 <<'MSG'
The unit simulator listens on port 23, which needs root or a user and network
namespace, and this machine allows neither to you. Run the demo as root
(sudo scripts/demo.sh), or enable unprivileged user namespaces
(sysctl kernel.unprivileged_userns_clone=1).
MSG
    exit 1
  fi
  export QUORLANE_DEMO_KEEP_DISPLAY=${DISPLAY:-}
  quorlane_isolated "$QUORLANE_ROOT/scripts/demo.sh" --inside
  exit $?
fi

# ---- inside the namespace ----------------------------------------------------------
echo "Isolation: ${QUORLANE_ISOLATION:-none}"
export QUORLANE_HOME=$DEMO_HOME
export QUORLANE_LOOPBACK_ONLY=1
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

"$BUILD/quorlane-unit" --home "$DEMO_HOME" --com 5 --tcp-port 23 >"$DEMO_HOME/unit.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  grep -q '^ready' "$DEMO_HOME/unit.log" 2>/dev/null && break
  sleep 0.1
done
if ! grep -q '^ready' "$DEMO_HOME/unit.log"; then
  echo "quorlane-unit did not start:" >&2
  cat "$DEMO_HOME/unit.log" >&2
  exit 1
fi
echo "Unit simulator: $(head -n1 "$DEMO_HOME/unit.log")"

headless=0
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  headless=1
  for n in $(seq 90 120); do
    [ -e "/tmp/.X11-unix/X$n" ] || break
  done
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  export DISPLAY=":$n"
  for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  echo "No display: running under Xvfb on $DISPLAY."
fi

"$BUILD/quorlane" >"$DEMO_HOME/quorlane.log" 2>&1 &
terminal=$!
pids+=($terminal)

shots=$DEMO_HOME/screenshots
mkdir -p "$shots"
shot() {
  import -window root "$shots/$1.png" 2>/dev/null && echo "  screenshot: $shots/$1.png"
}

# Plays the operator: positions are the controls' centres in the window's client area.
play() {
  local win=""
  for _ in $(seq 100); do
    win=$(xdotool search --name '^Quorlane - 2018-08-20$' 2>/dev/null | head -n1) && [ -n "$win" ] && break
    sleep 0.1
  done
  [ -n "$win" ] || { echo "The window did not appear (xdotool found nothing)."; return 1; }
  click() { xdotool mousemove --window "$win" "$1" "$2" click 1; }
  sleep 2
  echo "1. Start-up greeted the unit on COM 5; its address answer filled the address boxes."
  shot 1-serial-greeting
  echo "2. Connect TCP/IP (the terminal waits two seconds, then greets the unit over TCP)."
  click 142 35
  sleep 4
  echo "3. Typing rdp into the TCP send line and pressing Enter."
  click 371 92
  xdotool type --window "$win" --delay 80 rdp
  xdotool key --window "$win" Return
  sleep 1.5
  shot 2-tcp-answer
  echo "4. Polling on: rdp, rsp, rco, rci, rlt, rct, one a second."
  click 304 143
  sleep 8
  shot 3-polling
}

if command -v xdotool >/dev/null && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  play || true
else
  echo "Click Connect TCP/IP, type a command such as rdp and press Enter, or switch polling on."
fi

if [ "$headless" = 1 ]; then
  kill "$terminal" 2>/dev/null || true
  echo "Screenshots are in $shots"
else
  echo "Close the window to end the demo."
  wait "$terminal" || true
fi
echo "Receive log: $DEMO_HOME/drive_c/ZEL.txt ($(wc -c <"$DEMO_HOME/drive_c/ZEL.txt" 2>/dev/null || echo 0) bytes)"
echo "Unit traffic: $DEMO_HOME/unit.log"
