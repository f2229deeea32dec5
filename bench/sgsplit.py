#!/usr/bin/env python3
"""The separation as a short Python script, for comparison with sgsplit-batch.

    sgsplit.py MODEL

Rewrites MODEL in place through a temporary file, as sgsplit-batch does: a CR
before an LF is dropped, the first 0x1A ends the input, empty, "g" and "o"
lines are dropped, and a numbered group, object and material line goes
before every "s" line; every line ends in CR LF. Output is buffered, so lines
reach the file in large writes, not one each.
"""
import os
import shutil
import sys
import tempfile


def separate(source, target):
    number = 1
    write = target.write
    for line in source:
        end = line.find(b"\x1a")
        if end >= 0:
            line = line[:end]
        if line.endswith(b"\n"):
            line = line[:-2] if line.endswith(b"\r\n") else line[:-1]
        first = line[:1]
        if first and first not in b"go":
            if first == b"s":
                write(b"g object%d\r\no object%d\r\nusemtl object%d\r\n" % (number, number, number))
                number += 1
            write(line + b"\r\n")
        if end >= 0:
            return


def main():
    path = sys.argv[1]
    handle, temp = tempfile.mkstemp(prefix="obj")
    with open(path, "rb") as source, os.fdopen(handle, "wb") as target:
        separate(source, target)
    shutil.copyfile(temp, path)
    os.unlink(temp)


if __name__ == "__main__":
    main()
