#!/usr/bin/env bash
# Long fuzzing campaign by hand: every fuzz target for SECONDS seconds, two at a time (the
# machine has two cores).
#
#   fuzz/run-campaign.sh [--fast] SECONDS [TARGET...]
#
# Targets default to all six (tga_info tga_decode pcx_info pcx_decode mag_info mag_decode).
# Builds the `fuzz` preset when needed. Each target keeps its growing corpus in
# build-fuzz/fuzz/campaign/<target>/ (kept between campaigns), starts from the generated seeds
# and the regression inputs, and writes crashes, timeouts and slow inputs to
# build-fuzz/fuzz/findings/<target>/. Logs: build-fuzz/fuzz/campaign/<target>.log.
# A summary table (executions, cov, ft, findings) is printed at the end and written to
# build-fuzz/fuzz/campaign/summary.txt; every run adds its rows to history.tsv there, and the
# totals over all runs so far are printed after the table.
#
# --fast runs the targets of the `fuzz-campaign` preset (build-fuzz-campaign/: no comparison
# tracing) with a work budget of 64 KiB (inputs whose decode would churn through more are
# skipped; VB_FUZZ_WORK_BUDGET overrides it): eight to fifteen times the executions a second,
# on the same corpus. Comparison tracing and large pictures belong to the plain runs.
set -euo pipefail

mode=plain
if [[ ${1:-} == --fast ]]; then
    mode=fast
    shift
fi
if [[ $# -lt 1 || ! $1 =~ ^[0-9]+$ ]]; then
    echo "usage: $0 [--fast] SECONDS [TARGET...]" >&2
    exit 2
fi
seconds=$1
shift
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
    targets=(tga_info tga_decode pcx_info pcx_decode mag_info mag_decode)
fi

root=$(cd "$(dirname "$0")/.." && pwd)
home=${VB_FUZZ_BUILD:-$root/build-fuzz}
jobs=${VB_FUZZ_PARALLEL:-2}
preset=fuzz
build=$home
if [[ $mode == fast ]]; then
    preset=fuzz-campaign
    build=$root/build-fuzz-campaign
    export VB_FUZZ_WORK_BUDGET=${VB_FUZZ_WORK_BUDGET:-65536}
fi

if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake --preset "$preset" -S "$root" -B "$build" >/dev/null
fi
cmake --build "$build" --target fuzz_all -j2 >/dev/null

campaign=$home/fuzz/campaign
findings=$home/fuzz/findings
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

# The record of every run, and the totals so far.
history=$campaign/history.tsv
[[ -f $history ]] || printf 'date\tmode\tseconds\ttarget\texecutions\tfindings\n' >"$history"
budget=${VB_FUZZ_WORK_BUDGET:-4194304}
tail -n +2 "$campaign/summary.txt" | while read -r target executions _ _ _ found; do
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$(date -u +%FT%TZ)" "$mode/$budget" "$seconds" "$target" \
        "$executions" "$found" >>"$history"
done
echo "totals over all runs in $history:"
awk -F'\t' 'NR > 1 && $5 ~ /^[0-9]+$/ { runs[$4]++; sum[$4] += $5; found[$4] = $6 }
    END { for (t in sum) printf "  %-12s %3d runs %14d executions %4d findings kept\n", t, runs[t], sum[t], found[t] }' \
    "$history" | sort

logs=()
for target in "${targets[@]}"; do logs+=("$campaign/$target.log"); done
if grep -l -E 'ERROR: (libFuzzer|AddressSanitizer|LeakSanitizer)|runtime error|invariant broken' \
    "${logs[@]}" >/dev/null 2>&1; then
    echo "findings: see $findings and the logs in $campaign" >&2
    exit 1
fi
