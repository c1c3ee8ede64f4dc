#!/usr/bin/env bash
# Ctrl-C (SIGINT) and SIGTERM during a capture: the capture stops, the queued frames are written,
# the files are closed valid (read back by check_capture.py), the summary is printed and the exit
# code is 128 + the signal's number.
# usage: qorcap_signals.sh QORCAP WORK
set -euo pipefail
qorcap=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
version=$("$qorcap" --version)
version=${version#qorcap }

# stop SIGNAL CODE FORMAT PATTERN: a long capture, stopped by SIGNAL once a file matching
# PATTERN has frames in it.
stop() {
    local signal=$1 code=$2 format=$3 pattern=$4 name=$1-$3
    "$qorcap" capture --sim-model 01A8 -t 600 --format "$format" --json -o "$work/$name" \
        >"$work/$name.json" 2>"$work/$name.err" &
    local pid=$! waited=0
    # Frames are being written once a file of the capture holds more than a header.
    until [ -n "$(find "$work/$name" -name "$pattern" -size +4k 2>/dev/null | head -1)" ]; do
        sleep 0.1
        waited=$((waited + 1))
        if [ $waited -gt 600 ]; then
            kill -KILL $pid
            echo "$name: no frames written after 60 s"
            cat "$work/$name.err"
            exit 1
        fi
    done
    kill -"$signal" $pid
    local status=0
    wait $pid || status=$?
    if [ $status -ne "$code" ]; then
        echo "$name: exit $status, expected $code"
        cat "$work/$name.json" "$work/$name.err"
        exit 1
    fi
    grep -q "\"stopped\":\"signal\"" "$work/$name.json" &&
        grep -q "\"exit_code\":$code" "$work/$name.json" &&
        grep -q "stopped by SIG$signal" "$work/$name.err" ||
        { echo "$name: no summary of the stop"; cat "$work/$name.json" "$work/$name.err"; exit 1; }
    /usr/bin/python3 "$here/check_capture.py" "$version" <"$work/$name.json" ||
        { cat "$work/$name.json"; exit 1; }
}

stop INT 130 ser "*.ser"
stop TERM 143 ser "*.ser"
stop INT 130 fits "*.fits"

# The summary line of a stopped capture, as a script reads it.
"$qorcap" capture --sim-model 00A1 -t 600 --format png -o "$work/line" >"$work/line.out" 2>&1 &
pid=$!
waited=0
until grep -q "^captured" "$work/line.out"; do
    sleep 0.1
    waited=$((waited + 1))
    [ $waited -le 600 ] || { kill -KILL $pid; cat "$work/line.out"; exit 1; }
done
kill -INT $pid
status=0
wait $pid || status=$?
grep -q "^summary frames=[1-9][0-9]* .*stopped=signal exit=130 out=$work/line$" "$work/line.out" &&
    [ $status -eq 130 ] || { echo "exit $status"; cat "$work/line.out"; exit 1; }
rm -rf "$work"
