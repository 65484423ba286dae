"""Fails when a built tool binary holds the ZIP local-header signature.

The tool scans its own file for that signature to find its archive, so a
copy of the four bytes in its code or data would be taken for an entry.
"""
import os
import sys
import tempfile

SIGNATURE = bytes([0x50, 0x4B, 0x03, 0x04])


def offsets(path):
    with open(path, "rb") as f:
        data = f.read()
    found, at = [], data.find(SIGNATURE)
    while at != -1:
        found.append(at)
        at = data.find(SIGNATURE, at + 1)
    return found


def check(paths):
    bad = 0
    for path in paths:
        hits = offsets(path)
        if hits:
            bad += 1
            print(f"{path}: signature at offsets {', '.join(hex(h) for h in hits[:10])}")
        else:
            print(f"{path}: clean")
    return bad


def self_test():
    with tempfile.TemporaryDirectory() as scratch:
        clean = os.path.join(scratch, "clean")
        planted = os.path.join(scratch, "planted")
        with open(clean, "wb") as f:
            f.write(b"MZ" + b"PK\x01\x02 PK\x03 \x03\x04" * 100)
        with open(planted, "wb") as f:
            f.write(b"MZ" + b"\0" * 999 + SIGNATURE + b"\0")
        if check([clean]) != 0 or check([planted]) != 1 or offsets(planted) != [1001]:
            print("the check does not tell a planted signature from a clean file")
            return 1
    return 0


if __name__ == "__main__":
    if sys.argv[1:] == ["--self-test"]:
        sys.exit(self_test())
    missing = [p for p in sys.argv[1:] if not os.path.isfile(p)]
    if missing or not sys.argv[1:]:
        print("missing binaries:", " ".join(missing) or "(none given)")
        sys.exit(1)
    sys.exit(1 if check(sys.argv[1:]) else 0)
