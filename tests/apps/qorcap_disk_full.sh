#!/usr/bin/env bash
# A disk that fills during a capture, made by a file size limit (ulimit -f, with SIGXFSZ ignored
# so that writes fail with "File too large" instead of killing the program): the error names the
# file and the reason, the capture stops with exit code 5, and what was written is valid.
# usage: qorcap_disk_full.sh QORCAP WORK
set -euo pipefail
qorcap=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
version=$("$qorcap" --version)
version=${version#qorcap }
trap '' XFSZ

# full NAME KILOBYTES ARGS...: a capture of at most KILOBYTES a file, expected to fail.
full() {
    local name=$1 limit=$2
    shift 2
    local status=0
    (ulimit -f "$limit" && exec "$qorcap" capture --json -o "$work/$name" "$@") \
        >"$work/$name.json" 2>"$work/$name.err" || status=$?
    if [ $status -ne 5 ]; then
        echo "$name: exit $status, expected 5"
        cat "$work/$name.json" "$work/$name.err"
        exit 1
    fi
    grep -q "$work/$name/.*File too large" "$work/$name.err" ||
        { echo "$name: the error does not name the file and reason"; cat "$work/$name.err"; exit 1; }
    grep -q "\"stopped\":\"write-error\"\|\"error\":\"" "$work/$name.json" ||
        { echo "$name: no error in the summary"; cat "$work/$name.json"; exit 1; }
    /usr/bin/python3 "$here/check_capture.py" "$version" <"$work/$name.json" ||
        { cat "$work/$name.json" "$work/$name.err"; exit 1; }
}

# A SER video with room for a few frames.
full ser 2048 --sim-model 01A8 -n 40 --format ser
/usr/bin/python3 -c 'import json, sys; s = json.load(sys.stdin); sys.exit(not 0 < s["written"] < 40)' \
    <"$work/ser.json" || { echo "ser: not some of the frames kept"; cat "$work/ser.json"; exit 1; }
# FITS files larger than the limit: none is written, and none is left half written.
full fits 256 --sim-model 01A8 -n 5 --format fits
rm -rf "$work"
