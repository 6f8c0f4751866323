#!/bin/sh
# Measures vbhost's PNG writer against the one it had before (libpng with all of its defaults,
# also the size reference) on the benchmark pictures, and writes the table to standard output
# and bench/png_results.md.
#
#   bench/png.sh [png_bench options...]      e.g. --rounds 5, --only tga24
#
# Environment: VB_BENCH_BUILD (build folder, default build-bench).
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${VB_BENCH_BUILD:-$root/build-bench}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVB_BUILD_BENCH=ON >&2
cmake --build "$build" --target png_bench vbbench_inputs -j2 >&2
"$build/bin/vbbench_inputs" "$build/bench-inputs" >&2
"$build/bin/png_bench" --inputs "$build/bench-inputs" --markdown "$root/bench/png_results.md" "$@"
