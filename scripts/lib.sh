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
  (cd "$QUORLANE_ROOT" && cmake --preset "$preset" ${dir:+-B "$dir"} >/dev/null)
  cmake --build "${dir:-$QUORLANE_ROOT/$(quorlane_preset_dir "$preset")}" "${targets[@]}" -- -j"$(nproc)"
}

# The build folder a preset configures, relative to the source folder.
quorlane_preset_dir() {
  case $1 in
    default) echo build ;;
    *) echo "build-$1" ;;
  esac
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
