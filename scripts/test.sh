#!/usr/bin/env bash
# Sets up and tests Quorlane: installs the Debian packages it needs, builds, runs the
# whole test suite, makes the Debian package and smoke-tests the installed program, then
# builds again with AddressSanitizer and UndefinedBehaviorSanitizer and runs the suite
# there too. The suites run where only the loopback interface exists
# (a network namespace) whenever the machine allows it.
#
#   scripts/test.sh            everything
#   scripts/test.sh --quick    the normal build only, no sanitizer run
set -euo pipefail
QUORLANE_ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$QUORLANE_ROOT/scripts/lib.sh"

quick=0
[ "${1:-}" = "--quick" ] && quick=1

quorlane_install_packages

jobs=$(nproc)
run_suite() {
  local dir=$1
  echo "== tests in $dir"
  quorlane_isolated ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 600
}

# The builds are the presets of CMakePresets.json. "default" is optimised lightly: the
# tests run as fast, and the build takes half the time.
quorlane_build default
run_suite "$(quorlane_preset_dir default)"

echo "== Debian package: build, install into a scratch root, start the installed program"
"$QUORLANE_ROOT/scripts/package-test.sh" "$(quorlane_preset_dir default)"

if [ "$quick" = 0 ]; then
  quorlane_build sanitize
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
  export LSAN_OPTIONS="suppressions=$QUORLANE_ROOT/scripts/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  run_suite "$(quorlane_preset_dir sanitize)"
fi
echo "All tests passed."
