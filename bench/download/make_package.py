#!/usr/bin/python3
"""Writes a large resource package for the benchmarks without holding it in memory.

    make_package.py OUT.tsl SIZE_MB [--stored] [--files N]

The package is "KEL", 0x01, then a zip archive of N files (4 by default) that together hold about
SIZE_MB megabytes: half of each file compressible text, half random bytes. --stored writes the
entries without compression. The archive is written to its own file first, so its offsets count
from its first byte, and then appended after the header.
"""
import argparse
import os
import shutil
import tempfile
import zipfile

CHUNK = 1 << 20


def text_chunk(seed):
    line = ("resource line %d: the quick brown fox jumps over the lazy dog\n" % seed).encode()
    return (line * (CHUNK // len(line) + 1))[:CHUNK]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("size_mb", type=int)
    parser.add_argument("--stored", action="store_true")
    parser.add_argument("--files", type=int, default=4)
    args = parser.parse_args()
    method = zipfile.ZIP_STORED if args.stored else zipfile.ZIP_DEFLATED
    per_file = max(1, args.size_mb // args.files)
    with tempfile.NamedTemporaryFile(dir=os.path.dirname(os.path.abspath(args.out)),
                                     delete=False) as archive:
        with zipfile.ZipFile(archive, "w", method, compresslevel=1) as zf:
            for n in range(args.files):
                with zf.open("data/part%d.bin" % n, "w", force_zip64=False) as entry:
                    for i in range(per_file):
                        entry.write(text_chunk(i) if i % 2 == 0 else os.urandom(CHUNK))
        archive_path = archive.name
    with open(args.out, "wb") as out, open(archive_path, "rb") as body:
        out.write(b"KEL\x01")
        shutil.copyfileobj(body, out, CHUNK)
    os.unlink(archive_path)


if __name__ == "__main__":
    main()
