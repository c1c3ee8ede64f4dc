#!/usr/bin/env bash
# The main job: builds the programs and runs the demo, which decodes a synthetic raw frame with
# both demosaic methods and writes PNGs into out/ (or the folder given with --out).
set -euo pipefail
source "$(dirname "$0")/common.sh"

qor_install_packages "${QOR_PACKAGES[@]}"
qor_build "$QOR_ROOT/build"
"$QOR_ROOT/build/apps/qordemo" "$@"
