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

# A disk that really fills: a small file system of its own (a tmpfs in a private mount
# namespace), where some FITS files fit and then no more.
if unshare -r -m true 2>/dev/null; then
    mkdir -p "$work/small"
    # shellcheck disable=SC2016
    unshare -r -m bash -c '
        set -e
        mount -t tmpfs -o size=8m qorcap-test "$1"
        status=0
        "$2" capture --json -o "$1/fits" --sim-model 01A8 -n 40 --format fits \
            >"$3/tmpfs.json" 2>"$3/tmpfs.err" || status=$?
        [ $status -eq 5 ] || { echo "tmpfs: exit $status, expected 5"; cat "$3"/tmpfs.*; exit 1; }
        grep -q "$1/fits/.*No space left on device" "$3/tmpfs.err" ||
            { echo "tmpfs: the error does not name the file and reason"; cat "$3/tmpfs.err"; exit 1; }
        /usr/bin/python3 "$4/check_capture.py" "$5" <"$3/tmpfs.json"
        /usr/bin/python3 -c "import json, sys; s = json.load(sys.stdin); sys.exit(not 0 < s[\"written\"] < 40)" \
            <"$3/tmpfs.json" || { echo "tmpfs: not some of the frames kept"; cat "$3/tmpfs.json"; exit 1; }
    ' qorcap-test "$work/small" "$qorcap" "$work" "$here" "$version"
else
    echo "no private mount namespace here: the full file system case is left out"
fi
rm -rf "$work"
