#!/usr/bin/env bash
# Regenerates the bundle's firmware and FPGA files in resources/ (the same bytes every run).
#   tools/gen-resources.sh [BUILD_DIR]     builds in BUILD_DIR, by default build/
set -euo pipefail
source "$(dirname "$0")/common.sh"

dir=${1:-$QOR_ROOT/build}
qor_install_packages "${QOR_PACKAGES[@]}"
cmake -S "$QOR_ROOT" -B "$dir" -G Ninja >/dev/null
cmake --build "$dir" -j "$(nproc)" --target qorvanta_gen_resources
"$dir/tools/qorvanta_gen_resources" "$QOR_ROOT/resources"
