#!/usr/bin/env bash
# Builds the benchmarks in release mode and runs them against OpenCV; extra arguments go to the
# benchmark program (for example --benchmark_filter=demosaic). Run it on the machine to be
# measured (x86-64, or an arm64 board): a cross-built benchmark under emulation measures nothing.
set -euo pipefail
source "$(dirname "$0")/common.sh"

qor_install_packages "${QOR_PACKAGES[@]}" "${QOR_BENCH_PACKAGES[@]}"
qor_build "$QOR_ROOT/build-bench" -DCMAKE_BUILD_TYPE=Release -DQORVANTA_BUILD_BENCH=ON \
    -DQORVANTA_BUILD_TESTS=OFF
"$QOR_ROOT/build-bench/bench/qorvanta_bench" "$@"
