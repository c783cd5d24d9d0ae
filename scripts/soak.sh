#!/usr/bin/env bash
# The soak: quorlane-unit polled for half an hour of its time, compressed into well under
# a minute (Timer1 ticks every 10 ms), then a check that the log holds every reading in
# order and that memory did not grow beyond what holding the log costs.
#
#   scripts/soak.sh [polls [interval-ms]]
#
#   polls        commands to send (1800 unless given: 30 minutes at one a second)
#   interval-ms  Timer1's interval during the soak (10 unless given)
#
# Builds bench_soak and quorlane-unit into $QUORLANE_BUILD (default: the folder of the
# "perf" build preset, build-perf in the repository), then runs the soak where only the
# loopback interface exists when the machine allows it (everything it starts uses
# 127.0.0.1 only in any case). The last line printed is the verdict, "soak: PASS ..." or
# "soak: FAIL ..."; the exit code follows it.
set -euo pipefail
QUORLANE_ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$QUORLANE_ROOT/scripts/lib.sh"

polls=${1:-1800}
interval=${2:-10}
if ! [[ $polls =~ ^[0-9]+$ && $interval =~ ^[0-9]+$ ]] || ((polls < 12 || interval < 1)); then
  echo "usage: $0 [polls (at least 12) [interval-ms (at least 1)]]" >&2
  exit 2
fi

quorlane_install_packages
build=${QUORLANE_BUILD:-$(quorlane_preset_dir perf)}
if [ ! -f "$build/CMakeCache.txt" ]; then
  quorlane_build perf "$build" bench_soak quorlane-unit >/dev/null
else
  cmake --build "$build" --target bench_soak quorlane-unit >/dev/null
fi

echo "soak: $polls polls, Timer1 every $interval ms"
status=0
QT_QPA_PLATFORM=offscreen QUORLANE_LOOPBACK_ONLY=1 \
  quorlane_isolated timeout $((120 + polls * (interval + 50) / 1000)) \
  "$build/bench/bench_soak" --polls "$polls" --interval "$interval" \
  --unit "$build/quorlane-unit" || status=$?
if ((status == 124)); then
  echo "soak: FAIL the soak did not finish in time"
fi
exit "$status"
