# Shared by the scripts in this folder: the Debian packages the project needs, and how
# to get them.

QUORLANE_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-serialport-dev libgl-dev
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
