#!/usr/bin/env bash
# Builds Quorlane, makes the Debian package (cpack -G DEB), unpacks it into a scratch
# root (dpkg -x) and checks it: what it holds, that its dependencies name the system's
# Qt 6 libraries and fonts and are met on this machine, and that the installed program
# starts: tests/tst_package runs it from the scratch root, offscreen, with a scratch
# QUORLANE_HOME whose COM 5 is a pseudo-terminal the test holds and
# QUORLANE_LOOPBACK_ONLY=1, checks that "rip" CR LF arrives and that the receive log
# drive_c/ZEL.txt appears, then stops the program with SIGTERM.
#
#   scripts/package-test.sh [BUILD_DIR]     (default: the folder of the "default" build
#                                            preset, build; the package lands in
#                                            BUILD_DIR/package)
set -euo pipefail
QUORLANE_ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$QUORLANE_ROOT/scripts/lib.sh"

build=$(realpath -m "${1:-$(quorlane_preset_dir default)}")

fail() {
    echo "package test FAILED: $*" >&2
    exit 1
}

# cpack names the dependencies with dpkg-shlibdeps (dpkg-dev) and finds executables
# with file; readelf (binutils) lets the test look for run-time search paths.
quorlane_install_packages dpkg-dev file binutils

if [ -f "$build/CMakeCache.txt" ]; then
    cmake --build "$build" -- -j"$(nproc)"
else
    quorlane_build default "$build"
fi
[ -x "$build/tests/tst_package" ] || fail "$build/tests/tst_package is missing (built with QUORLANE_TESTS=OFF?)"

echo "== Debian package"
rm -rf "$build/package"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$build/package" >/dev/null
debs=("$build"/package/*.deb)
[ "${#debs[@]}" = 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb in $build/package"
deb=${debs[0]}
echo "$deb"
dpkg-deb --field "$deb" Package Version Architecture Depends

# Everything lies under /usr.
outside=$(dpkg-deb --contents "$deb" | awk '{print $6}' | grep -v '^\./$' | grep -v '^\./usr/' || true)
[ -z "$outside" ] || fail "files outside /usr: $outside"

# The dependencies name the Qt 6 libraries, zstd and the fonts ...
depends=$(dpkg-deb --field "$deb" Depends)
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libqt6serialport6 libzstd1; do
    grep -Eq "(^|, )$lib( |,|$)" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
grep -Fq "fonts-liberation | fonts-dejavu-core" <<<"$depends" || fail "Depends lacks the fonts: $depends"
# ... and apt can meet them here without installing anything else.
plan=$(apt-get install --simulate --no-install-recommends "$deb" 2>&1) || fail "apt-get cannot install it: $plan"
others=$(grep '^Inst ' <<<"$plan" | grep -v '^Inst quorlane ' || true)
[ -z "$others" ] || fail "the package needs more than this machine has: $others"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/quorlane-package-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
dpkg -x "$deb" "$scratch/root"

if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$scratch/root/usr/share/applications/quorlane.desktop"
fi
if command -v groff >/dev/null; then
    for page in "$scratch"/root/usr/share/man/man1/*.1.gz; do
        warnings=$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1 || true)
        [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
    done
fi
if command -v lintian >/dev/null; then
    lintian --no-tag-display-limit "$deb" || echo "note: lintian has remarks (not fatal)"
fi

echo "== installed program, from $scratch/root"
quorlane_isolated env -u LD_LIBRARY_PATH QT_QPA_PLATFORM=offscreen QUORLANE_LOOPBACK_ONLY=1 \
    QUORLANE_PACKAGE_ROOT="$scratch/root" "$build/tests/tst_package" ||
    fail "the installed program's smoke test"
echo "Package test passed: $deb"
