#!/usr/bin/env bash
# Long fuzzing campaign by hand: every fuzz target for SECONDS seconds, two at a time (the
# machine has two cores).
#
#   fuzz/run-campaign.sh SECONDS [TARGET...]
#
# Targets default to all six (tga_info tga_decode pcx_info pcx_decode mag_info mag_decode).
# Builds the `fuzz` preset when needed. Each target keeps its growing corpus in
# build-fuzz/fuzz/campaign/<target>/ (kept between campaigns), starts from the generated seeds
# and the regression inputs, and writes crashes, timeouts and slow inputs to
# build-fuzz/fuzz/findings/<target>/. Logs: build-fuzz/fuzz/campaign/<target>.log.
# A summary table (executions, cov, ft, findings) is printed at the end and written to
# build-fuzz/fuzz/campaign/summary.txt.
set -euo pipefail

if [[ $# -lt 1 || ! $1 =~ ^[0-9]+$ ]]; then
    echo "usage: $0 SECONDS [TARGET...]" >&2
    exit 2
fi
seconds=$1
shift
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
    targets=(tga_info tga_decode pcx_info pcx_decode mag_info mag_decode)
fi

root=$(cd "$(dirname "$0")/.." && pwd)
build=${VB_FUZZ_BUILD:-$root/build-fuzz}
jobs=${VB_FUZZ_PARALLEL:-2}

if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake --preset fuzz -S "$root" >/dev/null
fi
cmake --build "$build" --target fuzz_all -j2 >/dev/null

campaign=$build/fuzz/campaign
findings=$build/fuzz/findings
mkdir -p "$campaign" "$findings"

run_target() {
    local target=$1 filter=${1%_*}
    mkdir -p "$campaign/$target" "$findings/$target"
    local inputs=("$build/fuzz/seeds/$filter")
    [[ -d $root/fuzz/regressions/$filter ]] && inputs+=("$root/fuzz/regressions/$filter")
    # A broken invariant or sanitizer report ends the target's run; the rest go on.
    "$build/bin/${target}_fuzzer" "$campaign/$target" "${inputs[@]}" \
        -dict="$root/fuzz/dict/$filter.dict" \
        -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2560 -malloc_limit_mb=2048 \
        -report_slow_units=5 -print_final_stats=1 -print_pcs=0 \
        -artifact_prefix="$findings/$target/" >"$campaign/$target.log" 2>&1 || true
}
export -f run_target
export campaign findings build root seconds

echo "fuzzing ${targets[*]} for $seconds s each, $jobs at a time"
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_target {}'

{
    printf '%-12s %12s %8s %8s %8s  %s\n' target executions cov ft corpus findings
    for target in "${targets[@]}"; do
        log=$campaign/$target.log
        executions=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}')
        last=$(grep -E '^#[0-9]+' "$log" | grep 'cov:' | tail -1)
        cov=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' <<<"$last")
        ft=$(sed -n 's/.*ft: \([0-9]*\).*/\1/p' <<<"$last")
        corpus=$(sed -n 's/.*corp: \([0-9]*\/[0-9A-Za-z]*\).*/\1/p' <<<"$last")
        found=$(find "$findings/$target" -type f | wc -l)
        printf '%-12s %12s %8s %8s %8s  %s\n' "$target" "${executions:-?}" "${cov:-?}" \
            "${ft:-?}" "${corpus:-?}" "$found"
    done
} | tee "$campaign/summary.txt"

logs=()
for target in "${targets[@]}"; do logs+=("$campaign/$target.log"); done
if grep -l -E 'ERROR: (libFuzzer|AddressSanitizer|LeakSanitizer)|runtime error|invariant broken' \
    "${logs[@]}" >/dev/null 2>&1; then
    echo "findings: see $findings and the logs in $campaign" >&2
    exit 1
fi
