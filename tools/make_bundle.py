#!/usr/bin/env python3
"""Appends a stored ZIP of the given files to a copy of the holm program.

    make_bundle.py STUB OUTPUT FILE...

Entry names are the files' names as given (relative, '/' separators).
A stand-in for the packer until it exists: standard library only.
"""
import io
import os
import shutil
import sys
import zipfile


def main(argv):
    if len(argv) < 4:
        print("usage: make_bundle.py STUB OUTPUT FILE...", file=sys.stderr)
        return 1
    stub, output, files = argv[1], argv[2], argv[3:]
    archive = io.BytesIO()
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_STORED) as z:
        for name in files:
            z.write(name, arcname=name.replace(os.sep, "/"))
    partial = output + ".partial"
    shutil.copyfile(stub, partial)
    shutil.copymode(stub, partial)
    with open(partial, "ab") as f:
        f.write(archive.getvalue())
    os.replace(partial, output)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
