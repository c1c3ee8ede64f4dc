"""Reads a capture back with readers that are not ours and checks it against qorcap's summary.

    check_capture.py VERSION < summary.json

The summary is what `qorcap --json` printed. The files in its "out" directory are opened with
Pillow (PNG, TIFF), astropy and fitsverify (FITS) and, for SER, a reader written here from the
format's description. Exits non-zero, saying why, when something does not match.
"""

import datetime
import glob
import json
import os
import struct
import subprocess
import sys

SER_HEADER = 178
SER_COLOUR_IDS = {"": 0, "RGGB": 8, "GRBG": 9, "GBRG": 10, "BGGR": 11}
TICKS_AT_UNIX_EPOCH = 621355968000000000  # .NET ticks (100 ns since 0001-01-01) of 1970-01-01


def fail(message):
    print("check_capture: " + message, file=sys.stderr)
    sys.exit(1)


def expect(condition, message):
    if not condition:
        fail(message)


def now_ticks():
    return TICKS_AT_UNIX_EPOCH + int(datetime.datetime.now(datetime.timezone.utc).timestamp() * 1e7)


def colour(summary):
    return summary["layout"] in ("ARGB", "BGRA")


def check_ser(summary, files):
    expect(len(files) == 1, "one SER file expected, found %s" % files)
    with open(files[0], "rb") as f:
        data = f.read()
    expect(len(data) >= SER_HEADER, "SER file shorter than its header")
    (file_id, _lu_id, colour_id, _little_endian, width, height, depth, count) = struct.unpack_from(
        "<14s7i", data, 0)
    observer, instrument, telescope = struct.unpack_from("<40s40s40s", data, 42)
    local_ticks, utc_ticks = struct.unpack_from("<qq", data, 162)
    expect(file_id == b"LUCAM-RECORDER", "SER file id %r" % file_id)
    if summary["layout"] == "mosaic":
        expect(colour_id == SER_COLOUR_IDS[summary["mosaic"]],
               "SER colour id %d for a %s mosaic" % (colour_id, summary["mosaic"]))
    elif colour(summary):
        expect(colour_id in (100, 101), "SER colour id %d for colour frames" % colour_id)
    else:
        expect(colour_id == 0, "SER colour id %d for grey frames" % colour_id)
    expect((width, height) == (summary["width"], summary["height"]),
           "SER size %dx%d, summary %dx%d" % (width, height, summary["width"], summary["height"]))
    expect(depth == 8, "SER pixel depth %d" % depth)
    expect(count == summary["written"], "SER frame count %d, written %d" % (count,
                                                                           summary["written"]))
    name = instrument.rstrip(b"\0 ").decode("latin-1")
    expect(summary["camera"].startswith(name) and name, "SER instrument %r" % name)
    day = 864000000000
    expect(abs(utc_ticks - now_ticks()) < day, "SER UTC start %d is not today" % utc_ticks)
    expect(abs(local_ticks - utc_ticks) <= day // 2, "SER local start far from UTC start")
    planes = 3 if colour_id >= 100 else 1
    frames = SER_HEADER + count * width * height * planes
    # The trailer is there, unless writing it failed (a full disk): then the file ends with the
    # last whole frame.
    trailer = not summary["error"] or len(data) != frames
    expect(len(data) == frames + (8 * count if trailer else 0),
           "SER file of %d bytes: %d frames need %d, and %d for the trailer" %
           (len(data), count, frames, 8 * count))
    stamps = struct.unpack_from("<%dq" % count, data, frames) if trailer else []
    expect(all(a <= b for a, b in zip(stamps, stamps[1:])), "SER time stamps go back")
    expect(not stamps or abs(stamps[0] - utc_ticks) < 600 * 10**7,
           "SER first frame far from the start")
    del observer, telescope


def check_fits(summary, files, version):
    from astropy.io import fits
    expect(len(files) == summary["written"], "%d FITS files, written %d" % (len(files),
                                                                          summary["written"]))
    for path in files:
        with fits.open(path) as hdus:
            header = hdus[0].header
            expect(header["BITPIX"] == 8, "%s: BITPIX %s" % (path, header["BITPIX"]))
            expect((header["NAXIS1"], header["NAXIS2"]) == (summary["width"], summary["height"]),
                   "%s: size %sx%s" % (path, header["NAXIS1"], header["NAXIS2"]))
            if colour(summary):
                expect(header["NAXIS"] == 3 and header["NAXIS3"] == 3,
                       "%s: colour frame not three planes" % path)
            else:
                expect(header["NAXIS"] == 2, "%s: NAXIS %s" % (path, header["NAXIS"]))
            expect(hdus[0].data is not None and hdus[0].data.size ==
                   summary["width"] * summary["height"] * (3 if colour(summary) else 1),
                   "%s: data missing or short" % path)
            for key in ("EXPTIME", "GAIN", "DATE-OBS", "INSTRUME", "XBINNING", "YBINNING",
                        "XORGSUBF", "YORGSUBF"):
                expect(key in header, "%s: no %s" % (path, key))
            expect(header["EXPTIME"] > 0, "%s: EXPTIME %s" % (path, header["EXPTIME"]))
            expect(header["XBINNING"] >= 1 and header["YBINNING"] >= 1, "%s: binning" % path)
            stamp = datetime.datetime.fromisoformat(header["DATE-OBS"])
            expect("." in header["DATE-OBS"], "%s: DATE-OBS without milliseconds" % path)
            age = datetime.datetime.utcnow() - stamp
            expect(abs(age.total_seconds()) < 3600, "%s: DATE-OBS %s" % (path, header["DATE-OBS"]))
            expect(summary["camera"] == header["INSTRUME"],
                   "%s: INSTRUME %r" % (path, header["INSTRUME"]))
            if summary["cooled"]:
                expect("SET-TEMP" in header, "%s: no SET-TEMP on a cooled camera" % path)
            if summary["temperature_c"] is not None:
                expect("CCD-TEMP" in header, "%s: no CCD-TEMP, the camera reported %s C" %
                       (path, summary["temperature_c"]))
            if summary["layout"] == "mosaic" and summary["mosaic"]:
                expect(header.get("BAYERPAT") == summary["mosaic"],
                       "%s: BAYERPAT %r" % (path, header.get("BAYERPAT")))
                for key in ("XBAYROFF", "YBAYROFF"):
                    expect(key in header, "%s: no %s" % (path, key))
            expect(any(str(value).find(version) >= 0 for value in header.values()),
                   "%s: the driver version %s is not in the header" % (path, version))
    if files:
        result = subprocess.run(["fitsverify", "-q", "-e"] + files, capture_output=True,
                                text=True)
        expect(result.returncode == 0, "fitsverify: %s %s" % (result.stdout, result.stderr))


def check_image(summary, files, kind):
    from PIL import Image
    expect(len(files) == summary["written"], "%d %s files, written %d" % (len(files), kind,
                                                                        summary["written"]))
    for path in files:
        with Image.open(path) as image:
            image.load()
            expect(image.size == (summary["width"], summary["height"]),
                   "%s: size %s" % (path, image.size))
            wanted = "RGB" if colour(summary) else "L"
            expect(image.mode == wanted, "%s: mode %s, %s expected" % (path, image.mode, wanted))
            if kind == "PNG":
                expect(image.text, "%s: no text chunks" % path)


def check_sidecar(summary, directory):
    found = glob.glob(os.path.join(directory, "*.csv")) + glob.glob(
        os.path.join(directory, "*.jsonl"))
    expect(len(found) == 1, "one sidecar expected, found %s" % found)
    with open(found[0]) as f:
        lines = [line for line in f.read().splitlines() if line]
    if found[0].endswith(".jsonl"):
        for line in lines:
            json.loads(line)
        rows = len(lines)
    else:
        rows = len(lines) - 1  # the header
    expect(rows == summary["written"], "sidecar of %d rows, written %d" % (rows,
                                                                           summary["written"]))


def main():
    version = sys.argv[1]
    summary = json.loads(sys.stdin.read())
    directory = summary["out"]
    expect(os.path.isdir(directory), "no directory %s" % directory)
    kind = summary["format"]
    listing = sorted(glob.glob(os.path.join(directory, "*")))
    leftovers = glob.glob(os.path.join(directory, ".*"))
    expect(not leftovers, "half-written files left behind: %s" % leftovers)
    by_ending = lambda *endings: [p for p in listing if p.lower().endswith(endings)]
    if kind == "ser":
        check_ser(summary, by_ending(".ser"))
        return
    if kind == "fits":
        check_fits(summary, by_ending(".fits", ".fit", ".fts"), version)
    elif kind == "png":
        check_image(summary, by_ending(".png"), "PNG")
    elif kind == "tiff":
        check_image(summary, by_ending(".tif", ".tiff"), "TIFF")
    else:
        fail("unknown format %s" % kind)
    check_sidecar(summary, directory)


if __name__ == "__main__":
    main()
