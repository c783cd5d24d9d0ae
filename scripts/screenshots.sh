#!/usr/bin/env bash
# Screenshots of the main window and of both help windows for the README, taken from the
# real, installed program under Xvfb. Kept in docs/images/:
#   main-window.png     after start-up: the unit answered "rip" on COM 5 with its address,
#                       then "rdp" was typed into the serial send line
#   network-setup.png   "Network TCP/IP Setup"
#   serial-setup.png    "RS232/485 Setup"
#
# The build is installed into a scratch prefix and started through its bin/quorlane
# link (so the network help window also shows that the program finds its document
# beside the real executable). It runs with a scratch QUORLANE_HOME whose COM 5 is the
# pseudo-terminal of quorlane-unit (serial only, no TCP listener) and with
# QUORLANE_LOOPBACK_ONLY=1, in a network namespace with only the loopback interface
# when the machine allows it. The windows and their controls are found through the
# accessibility bus (AT-SPI, scripts/demo-probe.py), by the control names the program
# gives them; xdotool clicks and moves the windows.
#
#   scripts/screenshots.sh [BUILD_DIR]      (default: the "default" preset's folder, build)
set -euo pipefail
QUORLANE_ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$QUORLANE_ROOT/scripts/lib.sh"

OUT=$QUORLANE_ROOT/docs/images

if [ "${1:-}" != "--inside" ]; then
    build=$(realpath -m "${1:-$(quorlane_preset_dir default)}")
    quorlane_install_packages
    if [ -f "$build/CMakeCache.txt" ]; then
        cmake --build "$build" -- -j"$(nproc)"
    else
        quorlane_build default "$build"
    fi
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/quorlane-shots-XXXXXX")
    trap 'rm -rf "$scratch"' EXIT
    cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
    mkdir -p "$OUT"
    quorlane_isolated xvfb-run -a -s "-screen 0 1600x1200x24 -nolisten tcp" \
        "$QUORLANE_ROOT/scripts/screenshots.sh" --inside "$scratch"
    exit $?
fi

# ---- under Xvfb, inside the namespace ------------------------------------------------
# A session bus of its own carries the accessibility bus, through which the windows and
# their controls are found by what the running program shows.
scratch=$2
export QUORLANE_HOME=$scratch/home
mkdir -p "$QUORLANE_HOME"
quorlane_own_session_bus "$QUORLANE_HOME/bus.log" "$@"
prefix=$scratch/prefix
export QUORLANE_LOOPBACK_ONLY=1
export QT_QPA_PLATFORM=xcb
export XDG_RUNTIME_DIR=$scratch/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT
die() {
    echo "screenshots: $*" >&2
    for log in "$QUORLANE_HOME"/*.log; do echo "--- $log" >&2; cat "$log" >&2; done
    exit 1
}

address=127.0.0.1 # what the unit answers to "rip"
"$prefix/bin/quorlane-unit" --home "$QUORLANE_HOME" --com 5 --no-tcp --quiet --address "$address" \
    >"$QUORLANE_HOME/unit.log" 2>&1 &
pids+=($!)
# The program starts only with COM 5 on the unit's pseudo-terminal.
quorlane_wait_for 10 grep -qs '^ready' "$QUORLANE_HOME/unit.log" &&
    [ -L "$QUORLANE_HOME/dosdevices/com5" ] || die "quorlane-unit did not start"

bus=0
quorlane_accessibility_bus "$QUORLANE_HOME/bus.log" || bus=$?
pids+=("$QUORLANE_A11Y_PID")
[ "$bus" = 0 ] || die "the accessibility bus did not start"

"$prefix/bin/quorlane" >"$QUORLANE_HOME/quorlane.log" 2>&1 &
terminal=$!
pids+=("$terminal")

# Waits for the window that holds the control with this description (the main window
# without one) and prints its X window id.
window() {
    quorlane_window 10 "$terminal" "$@" || die "no window holding ${1:-Frame1}"
}
click() { quorlane_click "$terminal" "$1" || die "no control $1 to click"; }
place() { # place WINDOW X Y
    xdotool windowmove --sync "$1" "$2" "$3" 2>/dev/null || xdotool windowmove "$1" "$2" "$3"
}
shot() { # shot WINDOW FILE
    import -silent -window "$1" "$OUT/$2"
    echo "$OUT/$2 ($(identify -format '%wx%h' "$OUT/$2"))"
}

main=$(window)
place "$main" 0 0
# The unit's answer to "rip" has filled the address boxes.
octets_answered() { [ "$(quorlane_probe "$terminal" octets)" = "$address" ]; }
quorlane_wait_for 10 octets_answered || die "the unit's address did not reach the address boxes"
# "rdp" and Enter in the serial send line; the unit's reading arrives.
click txtRS232Send
xdotool type --delay 60 rdp
xdotool key Return
quorlane_wait_for 10 grep -qs "rdp #" "$QUORLANE_HOME/drive_c/ZEL.txt" ||
    die "the unit's rdp reading did not arrive"
sleep 1 # the timer sets the status captions
# A key that changes nothing shows the send line's caret, which blinks, for the shot.
xdotool key End
sleep 0.2
shot "$main" main-window.png

click 'btnConnect(4)'
help=$(window RichTextBox1)
place "$help" 830 0
sleep 0.5
shot "$help" network-setup.png
click 'btnConnect(2)'
help=$(window Image1)
place "$help" 830 600
sleep 0.5
shot "$help" serial-setup.png
