# Shared by the scripts in this folder: the Debian packages the project needs, and how
# to get them.

QUORLANE_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-serialport-dev libgl-dev libzstd-dev
  fonts-liberation fonts-dejavu-core
  xvfb xauth x11-apps x11-utils xdotool imagemagick openbox orca
  iproute2 util-linux procps
  dbus-daemon dbus-bin dbus-session-bus-common at-spi2-core python3-pyatspi python3-xlib
)

# Installs the packages that are missing (as root, or through sudo).
quorlane_install_packages() {
  local missing=() p
  for p in "${QUORLANE_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" = 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Configures with one of the builds of CMakePresets.json (default, sanitize, perf, fuzz)
# and builds, into the preset's folder or DIR: quorlane_build PRESET [DIR [targets...]]
quorlane_build() {
  local preset=$1 dir=${2:-} targets=()
  shift $(($# < 2 ? $# : 2))
  ((${#@})) && targets=(--target "$@")
  [ -n "$dir" ] || dir=$(quorlane_preset_dir "$preset")
  (cd "$QUORLANE_ROOT" && cmake --preset "$preset" -B "$dir" >/dev/null)
  cmake --build "$dir" "${targets[@]}" -- -j"$(nproc)"
}

# The build folder a preset of CMakePresets.json configures, its binaryDir with the
# source folder filled in: quorlane_preset_dir PRESET
quorlane_preset_dir() {
  python3 - "$QUORLANE_ROOT" "$1" <<'PY'
import json, os, sys
root, name = sys.argv[1], sys.argv[2]
with open(os.path.join(root, "CMakePresets.json")) as f:
    presets = json.load(f)["configurePresets"]
folder = next((p.get("binaryDir") for p in presets if p["name"] == name), None)
if folder is None:
    sys.exit("CMakePresets.json has no configure preset %r with a binaryDir" % name)
folder = folder.replace("${sourceDir}", root).replace("${presetName}", name)
print(os.path.normpath(os.path.join(root, folder)))
PY
}

# Runs a command where only the loopback interface exists, when this machine allows it:
# as root a new network namespace, otherwise a user and network namespace; plainly
# where neither is possible. Sets QUORLANE_ISOLATION to what was used.
quorlane_isolated() {
  if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
    QUORLANE_ISOLATION="network namespace" unshare -n -- sh -c 'ip link set lo up && exec "$@"' sh "$@"
  elif unshare -rn true 2>/dev/null; then
    QUORLANE_ISOLATION="user and network namespace" unshare -rn -- sh -c 'ip link set lo up && exec "$@"' sh "$@"
  else
    echo "note: no network namespace available here; running without isolation" >&2
    QUORLANE_ISOLATION=none "$@"
  fi
}

# Runs COMMAND until it succeeds; fails once SECONDS are up: quorlane_wait_for SECONDS COMMAND...
quorlane_wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

# ---- the running program's windows, for the demo and the screenshots ------------------
# Called first thing by a script that needs a session bus of its own (one outside a
# network namespace may not be reachable from inside): runs the script again under
# dbus-run-session with the same arguments, the chatter of the bus daemons and of what
# they start going to LOG, the script's own output keeping its way.
#   quorlane_own_session_bus LOG "$@"
quorlane_own_session_bus() {
  local log=$1
  shift
  if [ -z "${QUORLANE_OWN_BUS:-}" ]; then
    export QUORLANE_OWN_BUS=1
    exec 3>&1 4>&2
    exec dbus-run-session -- "$0" "$@" >"$log" 2>&1
  fi
  exec 1>&3 2>&4 3>&- 4>&-
}

# Starts the accessibility bus (AT-SPI) on the session bus, its output appended to LOG and
# its socket in XDG_RUNTIME_DIR, and waits for it. Qt programs started afterwards serve
# their windows there. The launcher's process id is left in QUORLANE_A11Y_PID.
quorlane_accessibility_bus() {
  /usr/libexec/at-spi-bus-launcher --launch-immediately >>"$1" 2>&1 &
  QUORLANE_A11Y_PID=$!
  export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
  quorlane_wait_for 10 dbus-send --session --dest=org.a11y.Bus --print-reply /org/a11y/bus \
    org.a11y.Bus.GetAddress >/dev/null 2>&1
}

# Asks the accessibility bus about the windows of the program with process id PID
# (scripts/demo-probe.py tells the commands): quorlane_probe PID COMMAND [ARGUMENT...]
quorlane_probe() {
  local pid=$1
  shift
  "$QUORLANE_ROOT/scripts/demo-probe.py" --pid "$pid" "$@" 2>/dev/null
}

# Clicks the point "X Y" of the screen: quorlane_click_at "X Y"
quorlane_click_at() {
  xdotool mousemove "${1% *}" "${1#* }" click 1
}

# Clicks the control of program PID with this description where it shows now (its
# centre, or near its right edge): quorlane_click PID DESCRIPTION [right]
quorlane_click() {
  local point
  point=$(quorlane_probe "$1" point "${@:2}") || return 1
  quorlane_click_at "$point"
}

# Prints the X window of program PID titled exactly TITLE (a title as the accessibility
# bus reports it, never a pattern): quorlane_x_window PID TITLE
quorlane_x_window() {
  local id
  for id in $(xdotool search --onlyvisible --pid "$1" 2>/dev/null); do
    if [ "$(xdotool getwindowname "$id" 2>/dev/null)" = "$2" ]; then
      echo "$id"
      return 0
    fi
  done
  return 1
}

# Waits up to SECONDS for the showing window of program PID that holds the control with
# this description (the main window without one) and prints its X window:
#   quorlane_window SECONDS PID [DESCRIPTION]
quorlane_window() {
  local seconds=$1 pid=$2 title
  shift 2
  title=$(quorlane_wait_for "$seconds" quorlane_probe "$pid" title "$@") &&
    quorlane_wait_for "$seconds" quorlane_x_window "$pid" "$title"
}
