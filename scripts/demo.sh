#!/usr/bin/env bash
# Runs the terminal against the built-in unit simulator, and says what really happened.
#
# Builds the program, starts quorlane-unit (a pseudo-terminal linked as COM 5 and a TCP
# listener on 127.0.0.1:23) and then the terminal, both with a QUORLANE_HOME of their own
# (build/demo-home), so your real port links and log are never touched, and with
# QUORLANE_LOOPBACK_ONLY=1, so nothing can reach beyond this machine. Both run inside a
# network namespace with only the loopback interface when the machine allows it (as a
# normal user: a user and network namespace, where port 23 is free to bind).
#
# With a display the window opens there; without one the demo runs under Xvfb. On X11
# (and always under Xvfb) it then plays the operator with xdotool and checks every step
# before reporting it: the unit's traffic record (build/demo-home/unit.log), the window
# as the accessibility bus (AT-SPI) shows it, and the receive log
# (build/demo-home/drive_c/ZEL.txt). Every wait is for a condition, with a time limit.
# The first step that fails ends the demo with exit status 1, naming the step and why,
# with the program's own error report where there is one. Screenshots are kept in
# build/demo-home/screenshots. Close the window to end the demo (under Xvfb it closes
# the window itself after the last step).
#
# QUORLANE_DEMO_UNIT_OPTIONS adds options for quorlane-unit, e.g. --silent to see how
# the demo reports a unit that does not answer.
set -euo pipefail
QUORLANE_ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$QUORLANE_ROOT/scripts/lib.sh"

BUILD=$(quorlane_preset_dir default)
DEMO_HOME=$BUILD/demo-home

if [ "${1:-}" != "--inside" ]; then
  quorlane_install_packages
  quorlane_build default "$BUILD" quorlane quorlane-unit quorlane-ports
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
  quorlane_isolated "$QUORLANE_ROOT/scripts/demo.sh" --inside
  exit $?
fi

# ---- inside the namespace ----------------------------------------------------------
# A session bus of our own carries the accessibility bus (a session bus outside the
# network namespace may not be reachable from in here). The chatter of the bus daemons
# and of what they start goes to bus.log; the demo's own output keeps its way.
quorlane_own_session_bus "$DEMO_HOME/bus.log" "$@"

echo "Isolation: ${QUORLANE_ISOLATION:-none}"
export QUORLANE_HOME=$DEMO_HOME
export QUORLANE_LOOPBACK_ONLY=1
# The accessibility bus's socket lies in a runtime folder of the demo's own.
XDG_RUNTIME_DIR=$(mktemp -d /tmp/quorlane-demo.XXXXXX)
export XDG_RUNTIME_DIR
UNIT_LOG=$DEMO_HOME/unit.log
RECEIVE_LOG=$DEMO_HOME/drive_c/ZEL.txt
SHOTS=$DEMO_HOME/screenshots
mkdir -p "$SHOTS"
pids=()
terminal=""
window=""

# The window as the accessibility bus shows it (scripts/demo-probe.py).
probe() { quorlane_probe "$terminal" "$@"; }

in_unit_log() { grep -qxF -- "$1" "$UNIT_LOG"; }
in_receive_log() { grep -qF -- "$1" "$RECEIVE_LOG" 2>/dev/null; }
octets_are() { [ "$(probe octets)" = "$1" ]; }
terminal_runs() { [ -n "$terminal" ] && kill -0 "$terminal" 2>/dev/null; }
terminal_gone() { ! terminal_runs; }

shot() {
  import -window root "$SHOTS/$1.png" 2>/dev/null && echo "   screenshot: $SHOTS/$1.png"
}

click() { quorlane_click "$terminal" "$@"; } # click DESCRIPTION [right]

indent() { sed 's/^/     /'; }

# What the window says right now: its status captions, the address boxes and an open
# message box. Used when a step fails.
window_state() {
  echo "   The window shows: serial status \"$(probe name 'lblConnect(2)')\"," \
    "TCP/IP status \"$(probe name 'lblConnect(0)')\", address boxes $(probe octets)."
  local text
  if text=$(probe dialog); then
    echo "   Its message box reads:"
    echo "$text" | indent
  fi
}

# The serial side failed at start-up, which shows no message of its own (only "Error
# Com 5" and the fallback to TCP/IP): pick COM 5 in the port list, as the operator
# would, and read the program's own report.
serial_report() {
  if probe dialog >/dev/null; then
    probe ok || xdotool key Return
    quorlane_wait_for 5 eval '! probe dialog >/dev/null' || return 1
  fi
  quorlane_wait_for 10 probe point cmboCOMMPort >/dev/null || return 1
  click cmboCOMMPort right || return 1
  local item
  item=$(quorlane_wait_for 5 probe item "Com 5" && probe item "Com 5") || return 1
  quorlane_click_at "$item"
  quorlane_wait_for 5 probe dialog >/dev/null || return 1
  echo "   Picking Com 5 in the port list gives the program's own report:"
  probe dialog | indent
}

step_no=-1 # the window opening is step 0
step_name=""
step() {
  step_no=$((step_no + 1))
  step_name=$1
}

fail() {
  echo >&2
  echo "Demo stopped at step $step_no ($step_name): $1" >&2
  window_state >&2
  shift
  while [ $# -gt 0 ]; do
    "$1" >&2 || true
    shift
  done
  shot "failed-step-$step_no" >&2 || true
  echo "   Unit traffic: $UNIT_LOG; receive log: $RECEIVE_LOG" >&2
  exit 1
}

find_window() {
  [ -n "$window" ] || window=$(quorlane_window 2 "$terminal")
}

# Ends the terminal as the operator would, by answering its messages and closing its
# window, so that it removes its port lock. A terminal that has to be killed leaves its
# lock file behind: quorlane-ports clears it.
end_terminal() {
  terminal_runs || return 0
  local _
  for _ in 1 2 3 4 5; do
    probe dialog >/dev/null || break
    probe ok || xdotool key Return
    quorlane_wait_for 5 eval '! probe dialog >/dev/null' || true
  done
  if find_window; then probe close "$window" || true; fi
  if ! quorlane_wait_for 10 terminal_gone; then
    kill "$terminal" 2>/dev/null || true
    wait "$terminal" 2>/dev/null || true
    "$BUILD/quorlane-ports" unlock 5 | indent || true
  fi
  wait "$terminal" 2>/dev/null || true
}

cleanup() {
  end_terminal
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$XDG_RUNTIME_DIR"
}
trap cleanup EXIT

# ---- the unit, a display and the accessibility bus ----------------------------------
# shellcheck disable=SC2086 # the options are words
"$BUILD/quorlane-unit" --home "$DEMO_HOME" --com 5 --tcp-port 23 ${QUORLANE_DEMO_UNIT_OPTIONS:-} \
  >"$UNIT_LOG" 2>&1 &
pids+=($!)
if ! quorlane_wait_for 10 grep -qs '^ready' "$UNIT_LOG"; then
  echo "quorlane-unit did not start:" >&2
  cat "$UNIT_LOG" >&2
  exit 1
fi
echo "Unit simulator: $(head -n1 "$UNIT_LOG")"

headless=0
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  headless=1
  for n in $(seq 90 120); do
    [ -e "/tmp/.X11-unix/X$n" ] || break
  done
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  export DISPLAY=":$n"
  if ! quorlane_wait_for 10 xdpyinfo >/dev/null 2>&1; then
    echo "Xvfb did not start on $DISPLAY." >&2
    exit 1
  fi
  echo "No display: running under Xvfb on $DISPLAY."
fi

bus=0
quorlane_accessibility_bus "$DEMO_HOME/bus.log" || bus=$?
pids+=("$QUORLANE_A11Y_PID")
if [ "$bus" != 0 ]; then
  echo "The accessibility bus did not start (see $DEMO_HOME/bus.log)." >&2
  exit 1
fi

"$BUILD/quorlane" >"$DEMO_HOME/quorlane.log" 2>&1 &
terminal=$!

if ! command -v xdotool >/dev/null || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  echo "Click Connect TCP/IP, type a command such as rdp and press Enter, or switch polling on."
  echo "Close the window to end the demo."
  wait "$terminal" || true
  exit 0
fi

# ---- the operator, one checked step at a time ---------------------------------------
step "the window opens"
quorlane_wait_for 20 probe ready ||
  fail "the window did not appear within 20 s (see $DEMO_HOME/quorlane.log)"

step "start-up greets the unit on COM 5"
quorlane_wait_for 10 in_unit_log "serial< rip" ||
  fail "the unit got no \"rip\" on COM 5 within 10 s" serial_report
quorlane_wait_for 10 grep -q '^serial> IP: ' "$UNIT_LOG" ||
  fail "the unit got \"rip\" but gave no address answer within 10 s"
address=$(sed -n 's/^serial> IP: \(.*\)\.$/\1/p' "$UNIT_LOG" | head -n1)
quorlane_wait_for 10 octets_are "$address" ||
  fail "the address boxes hold $(probe octets), not the unit's address $address"
quorlane_wait_for 10 in_receive_log "IP: $address." ||
  fail "the receive log lacks the unit's address answer"
! probe dialog >/dev/null || fail "the program reported an error"
echo "1. Start-up greeted the unit on COM 5; its address answer filled the address boxes" \
  "($address) and the receive log."
shot 1-serial-greeting

step "Connect TCP/IP"
click 'btnConnect(0)' || fail "the button \"Connect TCP/IP\" cannot be found"
quorlane_wait_for 10 grep -q '^tcp open ' "$UNIT_LOG" ||
  fail "no TCP/IP connection reached the unit within 10 s"
quorlane_wait_for 10 in_unit_log "tcp< rip" || fail "the connection carried no \"rip\" within 10 s"
! probe dialog >/dev/null || fail "the program reported an error"
echo "2. Connect TCP/IP connected to $address:23 and greeted the unit with \"rip\" over TCP/IP."

step "rdp typed into the TCP/IP send line"
click txtSend || fail "the TCP/IP send line is not showing"
xdotool type --delay 80 rdp
xdotool key Return
quorlane_wait_for 10 in_unit_log "tcp< rdp" ||
  fail "the unit got no \"rdp\" over TCP/IP within 10 s"
quorlane_wait_for 10 in_receive_log "rdp #" || fail "the receive log lacks the unit's rdp reading"
echo "3. rdp typed into the TCP/IP send line reached the unit; its reading is in the receive log."
shot 2-tcp-answer

step "polling"
click 'btnTest(5)' || fail "the polling button cannot be found"
polled_rdp() { [ "$(grep -cxF 'tcp< rdp' "$UNIT_LOG")" -ge 2 ]; }
quorlane_wait_for 10 polled_rdp || fail "polling sent no \"rdp\" within 10 s"
for word in rsp rco rci rlt rct; do
  quorlane_wait_for 10 in_unit_log "tcp< $word" || fail "polling sent no \"$word\" within 10 s"
  quorlane_wait_for 10 in_receive_log "$word #" ||
    fail "the receive log lacks the unit's $word reading"
done
! probe dialog >/dev/null || fail "the program reported an error"
echo "4. Polling sent rdp, rsp, rco, rci, rlt and rct, one a second; every reading is in" \
  "the receive log."
shot 3-polling

echo "Receive log: $RECEIVE_LOG ($(wc -c <"$RECEIVE_LOG") bytes)"
echo "Unit traffic: $UNIT_LOG"
if [ "$headless" = 1 ]; then
  end_terminal
  echo "Screenshots are in $SHOTS"
else
  echo "Close the window to end the demo."
  wait "$terminal" || true
fi
