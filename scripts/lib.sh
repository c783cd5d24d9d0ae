# Shared by the scripts in this folder: the Debian packages the project needs, and how
# to get them.

QUORLANE_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-serialport-dev libgl-dev
  fonts-liberation fonts-dejavu-core
  xvfb xauth x11-apps x11-utils xdotool imagemagick
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

# Configures and builds into a folder: quorlane_build DIR [cmake options...]
quorlane_build() {
  local dir=$1
  shift
  cmake -S "$QUORLANE_ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -- -j"$(nproc)"
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
