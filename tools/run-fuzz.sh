#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer (plus AddressSanitizer and UBSan) in build-fuzz/
# and runs each for a bounded time from its seed corpus of real files.
#   tools/run-fuzz.sh            60 seconds per target
#   tools/run-fuzz.sh 600        ten minutes per target
# New inputs that reach more code are kept in build-fuzz/corpus/<target>/ between runs; a
# crashing input is written to build-fuzz/ and the script fails.
set -euo pipefail
source "$(dirname "$0")/common.sh"

seconds=${1:-60}
case "$seconds" in
'' | *[!0-9]*) echo "usage: $0 [seconds per target]" >&2; exit 2 ;;
esac

qor_install_packages "${QOR_PACKAGES[@]}" "${QOR_FUZZ_PACKAGES[@]}"
CC=clang CXX=clang++ qor_build "$QOR_ROOT/build-fuzz" -DQORVANTA_SANITIZE=fuzzer \
    -DQORVANTA_BUILD_TESTS=OFF

dir=$QOR_ROOT/build-fuzz
# Seeds: firmware files of three models, the panel's resource file, saved settings blocks.
declare -A seeds=(
    [intel_hex]="$QOR_ROOT/resources/Firmware/cam01 $QOR_ROOT/resources/Firmware/cam08 $QOR_ROOT/resources/Firmware/cam13"
    [resource_text]="$QOR_ROOT/resources/QorvantaPanel.rsrc"
    [settings_block]="$QOR_ROOT/fuzz/corpus/settings_block"
)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in intel_hex resource_text settings_block; do
    corpus=$dir/corpus/$target
    mkdir -p "$corpus"
    for seed in ${seeds[$target]}; do
        # Named after their folder too: every model's firmware is called firmN.HEX.
        for file in $([ -d "$seed" ] && echo "$seed"/* || echo "$seed"); do
            cp "$file" "$corpus/seed-$(basename "$(dirname "$file")")-$(basename "$file")"
        done
    done
    echo "== fuzz_$target for ${seconds}s"
    # -close_fd_mask=2 silences the driver's diagnostics; sanitizer reports still show.
    (cd "$dir" && "$dir/fuzz/fuzz_$target" -max_total_time="$seconds" -close_fd_mask=2 \
        -print_final_stats=1 -max_len=65536 "$corpus")
done
