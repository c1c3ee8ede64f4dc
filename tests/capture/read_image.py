#!/usr/bin/python3
"""Reads a capture file back with libraries that have nothing to do with ours, and prints what
it found as key=value lines for the C++ tests to check.

    read_image.py fits FILE    every header keyword, the data's shape and bytes
    read_image.py png FILE     mode, size, text chunks, tIME, pixel bytes
    read_image.py tiff FILE    mode, size, DateTime, ImageDescription lines, pixel bytes
    read_image.py jsonl FILE   each line's fields, as row<N>.<field>
    read_image.py csv FILE     each row's fields, as row<N>.<field>
"""
import csv
import json
import sys


def fits(path):
    from astropy.io import fits as pyfits
    with pyfits.open(path) as hdus:
        header = hdus[0].header
        for key in header:
            if key in ("COMMENT", "HISTORY", ""):
                continue
            print(f"{key}={header[key]}")
        data = hdus[0].data
        print(f"dtype={data.dtype}")
        print("shape=" + "x".join(str(n) for n in data.shape))
        print(f"data={data.tobytes().hex()}")
        print(f"hdus={len(hdus)}")


def image(path, kind):
    from PIL import Image
    with Image.open(path) as im:
        print(f"format={im.format}")
        print(f"mode={im.mode}")
        print(f"size={im.size[0]}x{im.size[1]}")
        if kind == "png":
            for key, value in im.text.items():
                print(f"text.{key}={value}")
            # Pillow reads no tIME chunk; look for it directly.
            raw = open(path, "rb").read()
            at = raw.find(b"tIME")
            if at >= 0:
                t = raw[at + 4:at + 11]
                year = int.from_bytes(t[0:2], "big")
                print(f"tIME={year:04d}-{t[2]:02d}-{t[3]:02d}T{t[4]:02d}:{t[5]:02d}:{t[6]:02d}")
        else:
            tags = im.tag_v2
            print(f"DateTime={tags.get(306, '')}")
            print(f"Software={tags.get(305, '')}")
            print(f"Model={tags.get(272, '')}")
            for line in str(tags.get(270, "")).splitlines():
                print(f"desc.{line}")
        print(f"data={im.tobytes().hex()}")


def rows(path, kind):
    with open(path, newline="") as f:
        if kind == "jsonl":
            records = [json.loads(line) for line in f if line.strip()]
        else:
            records = list(csv.DictReader(f))
    print(f"rows={len(records)}")
    for n, record in enumerate(records):
        for key, value in record.items():
            print(f"row{n}.{key}={json.dumps(value) if kind == 'jsonl' else value}")


def main():
    kind, path = sys.argv[1], sys.argv[2]
    if kind == "fits":
        fits(path)
    elif kind in ("png", "tiff"):
        image(path, kind)
    else:
        rows(path, kind)


main()
