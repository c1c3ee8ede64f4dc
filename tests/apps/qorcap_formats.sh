#!/usr/bin/env bash
# Captures from the simulated cameras into every format, decoded and as the raw mosaic, and has
# each capture read back by readers that are not ours (check_capture.py): Pillow, astropy and
# fitsverify, and a SER reader written from the format's description.
# usage: qorcap_formats.sh QORCAP WORK
set -euo pipefail
qorcap=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
version=$("$qorcap" --version)
version=${version#qorcap }

# capture NAME ARGS...: a capture with --json into $work/NAME, checked.
capture() {
    local name=$1
    shift
    "$qorcap" capture --json -o "$work/$name" "$@" >"$work/$name.json"
    /usr/bin/python3 "$here/check_capture.py" "$version" <"$work/$name.json" ||
        { echo "capture $name ($*):"; cat "$work/$name.json"; exit 1; }
}

for format in png tiff fits ser; do
    # A cooled colour camera: decoded colour, and the raw mosaic with its Bayer pattern.
    capture "$format" --sim-model 01A8 -n 3 --format "$format"
    capture "$format-mosaic" --sim-model 01A8 -n 2 --format "$format" --mosaic
    # A monochrome camera.
    capture "$format-grey" --sim-model 00A1 -n 2 --format "$format"
done
# The sidecar as JSON lines, and a capture by time.
capture jsonl --sim-model 01A8 -n 2 --format tiff --sidecar jsonl
capture timed --sim-model 00A1 -t 0.5 --format ser
rm -rf "$work"
