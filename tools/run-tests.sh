#!/usr/bin/env bash
# Builds and runs the whole test suite.
#   tools/run-tests.sh              plain build in build/
#   tools/run-tests.sh address      AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/
#   tools/run-tests.sh thread       ThreadSanitizer in build-tsan/
#   tools/run-tests.sh release      optimised (-O3) build in build-release/
set -euo pipefail
source "$(dirname "$0")/common.sh"

mode=${1:-}
options=()
case "$mode" in
"") dir=$QOR_ROOT/build ;;
address) dir=$QOR_ROOT/build-asan options=(-DQORVANTA_SANITIZE=address) ;;
thread) dir=$QOR_ROOT/build-tsan options=(-DQORVANTA_SANITIZE=thread) ;;
release) dir=$QOR_ROOT/build-release options=(-DCMAKE_BUILD_TYPE=Release) ;;
*) echo "usage: $0 [address|thread|release]" >&2; exit 2 ;;
esac

qor_install_packages "${QOR_PACKAGES[@]}" "${QOR_TEST_PACKAGES[@]}"
qor_build "$dir" "${options[@]}"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
