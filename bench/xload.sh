#!/usr/bin/env bash
# Runs bench/xload.py (what the real program and the X server spend at the serial line
# rate) where only the loopback interface exists, when the machine allows it. Options as
# for xload.py: [--seconds S] [--fill MB] [--runs N] [--program PATH] [--against PATH]
set -euo pipefail
QUORLANE_ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$QUORLANE_ROOT/scripts/lib.sh"
QUORLANE_LOOPBACK_ONLY=1 quorlane_isolated python3 "$QUORLANE_ROOT/bench/xload.py" "$@"
