#!/usr/bin/env bash
# Builds and runs the whole test suite.
#   tools/run-tests.sh              plain build in build/
#   tools/run-tests.sh address      AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/
#   tools/run-tests.sh thread       ThreadSanitizer in build-tsan/
#   tools/run-tests.sh release      optimised (-O3) build in build-release/
#   tools/run-tests.sh arm64        cross-built for 64-bit ARM in build-arm64/, the tests run
#                                   under qemu-user: the camera library's imaging, streaming
#                                   and simulator tests, a capture from a simulated camera
#                                   through the digitizer, the C interface; the benchmarks
#                                   are built, not run
set -euo pipefail
source "$(dirname "$0")/common.sh"

mode=${1:-}
options=()
packages=("${QOR_PACKAGES[@]}" "${QOR_TEST_PACKAGES[@]}")
case "$mode" in
"") dir=$QOR_ROOT/build ;;
address) dir=$QOR_ROOT/build-asan options=(-DQORVANTA_SANITIZE=address) ;;
thread) dir=$QOR_ROOT/build-tsan options=(-DQORVANTA_SANITIZE=thread) ;;
release) dir=$QOR_ROOT/build-release options=(-DCMAKE_BUILD_TYPE=Release) ;;
arm64)
    dir=$QOR_ROOT/build-arm64
    options=(-DCMAKE_TOOLCHAIN_FILE="$QOR_ROOT/cmake/toolchain-aarch64-linux-gnu.cmake"
        -DQORVANTA_TEST_SET=core -DQORVANTA_BUILD_CAPTURE=OFF -DQORVANTA_BUILD_BENCH=ON)
    packages=("${QOR_ARM64_PACKAGES[@]}")
    ;;
*) echo "usage: $0 [address|thread|release|arm64]" >&2; exit 2 ;;
esac

qor_install_packages "${packages[@]}"
qor_build "$dir" "${options[@]}"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
