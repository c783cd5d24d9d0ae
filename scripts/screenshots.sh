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
# when the machine allows it. xdotool clicks the buttons.
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
scratch=$2
prefix=$scratch/prefix
export QUORLANE_HOME=$scratch/home
export QUORLANE_LOOPBACK_ONLY=1
export QT_QPA_PLATFORM=xcb
mkdir -p "$QUORLANE_HOME"
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

"$prefix/bin/quorlane-unit" --home "$QUORLANE_HOME" --com 5 --no-tcp --quiet \
    >"$QUORLANE_HOME/unit.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    grep -q '^ready' "$QUORLANE_HOME/unit.log" 2>/dev/null && break
    sleep 0.1
done
# The program starts only with COM 5 on the unit's pseudo-terminal.
[ -L "$QUORLANE_HOME/dosdevices/com5" ] && grep -q '^ready' "$QUORLANE_HOME/unit.log" ||
    die "quorlane-unit did not start"

"$prefix/bin/quorlane" >"$QUORLANE_HOME/quorlane.log" 2>&1 &
pids+=($!)

# Waits for a window with exactly this title and prints its id.
window() {
    local title=$1 id=""
    for _ in $(seq 100); do
        id=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null | head -n1) || true
        [ -n "$id" ] && break
        sleep 0.1
    done
    [ -n "$id" ] || die "no window \"$title\""
    echo "$id"
}
shot() {
    xdotool windowmove --sync "$1" "$2" "$3" 2>/dev/null || xdotool windowmove "$1" "$2" "$3"
    sleep 0.5
    import -silent -window "$1" "$OUT/$4"
    echo "$OUT/$4 ($(identify -format '%wx%h' "$OUT/$4"))"
}

main=$(window 'Quorlane - 2018-08-20')
click() { xdotool mousemove --window "$main" "$1" "$2" click 1; }
sleep 2 # the unit's answer arrives, the timer sets the status captions
# The serial send line, then "rdp" and Enter.
click 371 92
xdotool type --delay 60 rdp
xdotool key Return
sleep 1.5
shot "$main" 0 0 main-window.png

click 396 35 # Network TCP/IP Setup
shot "$(window 'Network \(TCP/IP\) Setup')" 830 0 network-setup.png
click 750 35 # RS232/485 Setup
shot "$(window 'RS232/485 Setup')" 830 600 serial-setup.png
