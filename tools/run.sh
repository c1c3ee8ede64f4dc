#!/usr/bin/env bash
# The main job: builds the capture tool, and only what it needs (not the test suite), and
# captures frames with qorcap from the camera on the bus, or from the built-in simulated camera
# when there is none, into out/ as PNG files. Arguments go to qorcap (for example --frames 50,
# --seconds 5, --out DIR; --help lists them).
set -euo pipefail
source "$(dirname "$0")/common.sh"

qor_install_packages "${QOR_PACKAGES[@]}"
qor_build_targets "$QOR_ROOT/build" qorcap
"$QOR_ROOT/build/apps/qorcap" capture "$@"
