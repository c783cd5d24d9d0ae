#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each of them for a while.
#
#   scripts/fuzz.sh [seconds [target]]
#
#   seconds  how long each target runs (60 unless given); scripts/fuzz.sh 10 is a short run
#   target   run only this target, e.g. fuzz_rtf
#
# The build folder is $QUORLANE_FUZZ_BUILD, or the folder of the "fuzz" build preset
# (build-fuzz in the repository, ignored by git). A target's seed corpus,
# fuzz/corpus/<name without "fuzz_">/, is copied into a scratch corpus in the build
# folder, so a run never writes into the repository; inputs that make a target fail land
# in <build>/fuzz-artifacts/<target>/ and its output in <build>/fuzz-logs/<target>.log.
#
# clang and the libFuzzer runtime (libclang-rt-dev) are installed with apt-get when
# missing (as root, or through sudo), with the packages every build needs. Exits non-zero
# when a target fails: a crash, a sanitizer report, a leak, a time-out or running out of
# memory.
set -euo pipefail

seconds=${1:-60}
only=${2:-}
if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds == 0)); then
    echo "usage: $0 [seconds [target]]" >&2
    exit 2
fi

QUORLANE_ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$QUORLANE_ROOT/scripts/lib.sh"
build=${QUORLANE_FUZZ_BUILD:-$(quorlane_preset_dir fuzz)}

# --- tools ---

fuzzer_runtime_present() {
    command -v clang >/dev/null || return 1
    local dir
    dir=$(clang -print-resource-dir 2>/dev/null) || return 1
    compgen -G "$dir/lib/linux/libclang_rt.fuzzer-$(uname -m).a" >/dev/null
}

quorlane_install_packages clang libclang-rt-dev
if ! fuzzer_runtime_present; then
    echo "fuzz.sh: clang's libFuzzer runtime is still missing" >&2
    exit 1
fi

# --- build ---

if [[ -f $build/CMakeCache.txt ]] && ! grep -q '^CMAKE_CXX_COMPILER:.*clang' "$build/CMakeCache.txt"; then
    echo "fuzz.sh: $build was configured with another compiler; remove it or set QUORLANE_FUZZ_BUILD" >&2
    exit 1
fi
# The "fuzz" build of CMakePresets.json: clang, the libFuzzer targets, no tests.
quorlane_build fuzz "$build" "${only:-fuzzers}"

targets=()
if [[ -n $only ]]; then
    targets=("$only")
else
    while IFS= read -r exe; do
        targets+=("$(basename "$exe")")
    done < <(find "$build/fuzz" -maxdepth 1 -type f -name 'fuzz_*' -perm -u+x | sort)
fi
if ((${#targets[@]} == 0)); then
    echo "fuzz.sh: no fuzz targets built" >&2
    exit 1
fi

# --- run ---

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
# fontconfig's caches, freed by nobody when Qt lets go of them at exit, are no finding.
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$QUORLANE_ROOT/scripts/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export QT_QPA_PLATFORM=offscreen

failed=()
for target in "${targets[@]}"; do
    exe=$build/fuzz/$target
    stem=${target#fuzz_}
    corpus=$build/fuzz-corpus/$target
    artifacts=$build/fuzz-artifacts/$target
    log=$build/fuzz-logs/$target.log
    mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
    if [[ -d $QUORLANE_ROOT/fuzz/corpus/$stem ]]; then
        cp -n "$QUORLANE_ROOT/fuzz/corpus/$stem"/* "$corpus"/ 2>/dev/null || true
    fi
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len=16384
        -print_final_stats=1 -artifact_prefix="$artifacts/")
    [[ -f $QUORLANE_ROOT/fuzz/$stem.dict ]] && options+=(-dict="$QUORLANE_ROOT/fuzz/$stem.dict")

    echo "fuzz.sh: $target for ${seconds}s (corpus $corpus)"
    status=0
    "$exe" "${options[@]}" "$corpus" >"$log" 2>&1 || status=$?
    grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::peak_rss_mb|Done [0-9]+ runs)' "$log" || true
    if ((status != 0)); then
        echo "fuzz.sh: $target FAILED (exit $status); see $log and $artifacts/" >&2
        tail -n 40 "$log" >&2
        failed+=("$target")
    else
        echo "fuzz.sh: $target passed; corpus now $(find "$corpus" -type f | wc -l) inputs"
    fi
done

if ((${#failed[@]})); then
    echo "fuzz.sh: failed: ${failed[*]}" >&2
    exit 1
fi
