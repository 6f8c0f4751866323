#!/bin/sh
# Compares the decode speed of vbtga, vbpcx and vbmag with stb_image, SDL2_image, MagickCore and
# Pillow on the same files, and writes the table to standard output and bench/results.md.
#
#   bench/compare.sh [vbbench options...]      e.g. --rounds 9, --only tga24, --cold-pages
#
# Environment: VB_BENCH_BUILD (build folder, default build-bench), VB_BENCH_ROUNDS (default 7),
# VB_BENCH_SKIP_INSTALL=1 (do not call apt-get). Installing the peers needs root.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${VB_BENCH_BUILD:-$root/build-bench}
rounds=${VB_BENCH_ROUNDS:-7}

# The peers and what builds the benchmark, from Debian's packages.
if [ "${VB_BENCH_SKIP_INSTALL:-0}" != 1 ]; then
    packages="cmake g++ pkg-config libstb-dev libsdl2-image-dev libmagickcore-6.q16-dev python3-pil"
    missing=""
    for package in $packages; do
        dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
    done
    if [ -n "$missing" ]; then
        echo "compare.sh: installing$missing" >&2
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >&2
    fi
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVB_BUILD_BENCH=ON >&2
cmake --build "$build" --target vbbench vbbench_inputs -j2 >&2
"$build/bin/vbbench_inputs" "$build/bench-inputs" >&2

# Pillow from Debian's python3-pil lives with the system interpreter.
python=/usr/bin/python3
[ -x "$python" ] || python=python3

"$build/bin/vbbench" --inputs "$build/bench-inputs" --rounds "$rounds" --python "$python" \
    --markdown "$root/bench/results.md" "$@"
