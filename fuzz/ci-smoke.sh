#!/usr/bin/env bash
# CI: hostile-input checks.
#
#   fuzz/ci-smoke.sh [--fuzz-only | --sanitize-only]
#
# 1. Builds the six libFuzzer targets (`fuzz` preset, clang, ASan + UBSan, build-fuzz/), replays
#    every seed and regression input once, then runs each target for a fixed number of
#    executions from a fixed random seed (so a run is repeatable): VB_FUZZ_SMOKE_RUNS_INFO
#    (default 300000) for the information readers, VB_FUZZ_SMOKE_RUNS_DECODE (default 100000) for
#    the decoders (each decode input runs fast and again along the plain code, which the
#    harness compares). A few minutes in all on two cores.
# 2. Builds and runs the whole test suite under AddressSanitizer, UndefinedBehaviorSanitizer and
#    LeakSanitizer (`sanitize` workflow preset, gcc, build-sanitize/), which includes the
#    fault-injection tests and the replay of the seeds and regression inputs.
#
# Needs clang and libFuzzer (Debian: clang, libclang-rt-14-dev; llvm for symbolized reports).
# Exits non-zero on the first failure.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mode=${1:-all}

run_fuzz_smoke() {
    local build=$root/build-fuzz
    cmake --preset fuzz >/dev/null
    cmake --build --preset fuzz
    local scratch
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' RETURN
    for target in tga_info tga_decode pcx_info pcx_decode mag_info mag_decode; do
        local filter=${target%_*} runs
        if [[ $target == *_info ]]; then
            runs=${VB_FUZZ_SMOKE_RUNS_INFO:-300000}
        else
            runs=${VB_FUZZ_SMOKE_RUNS_DECODE:-100000}
        fi
        local inputs=("$build/fuzz/seeds/$filter")
        [[ -d fuzz/regressions/$filter ]] && inputs+=("fuzz/regressions/$filter")
        mkdir -p "$scratch/$target"
        echo "== $target: $runs runs"
        # The first folder only collects what the run finds; seeds and regressions are read.
        if ! "$build/bin/${target}_fuzzer" "$scratch/$target" "${inputs[@]}" \
            -dict="fuzz/dict/$filter.dict" -runs="$runs" -seed=1 -timeout=60 \
            -rss_limit_mb=2560 -print_final_stats=1 -artifact_prefix="$scratch/" \
            >"$scratch/$target.log" 2>&1; then
            cat "$scratch/$target.log" >&2
            for artifact in "$scratch"/crash-* "$scratch"/timeout-* "$scratch"/leak-* \
                "$scratch"/oom-*; do
                [[ -f $artifact ]] || continue
                echo "reproducer ($artifact):" >&2
                od -A x -t x1z -v "$artifact" | head -40 >&2
            done
            echo "fuzz smoke: $target failed" >&2
            return 1
        fi
        grep -E "^#[0-9]+[[:space:]]+DONE" "$scratch/$target.log" || true
    done
    echo "fuzz smoke: all six targets passed"
}

run_sanitized_suite() {
    cmake --workflow --preset sanitize
}

case $mode in
    --fuzz-only) run_fuzz_smoke ;;
    --sanitize-only) run_sanitized_suite ;;
    all)
        run_fuzz_smoke
        run_sanitized_suite
        ;;
    *)
        echo "usage: $0 [--fuzz-only | --sanitize-only]" >&2
        exit 2
        ;;
esac
