#!/usr/bin/env python3
"""Writes the seed corpora: real bundles made by holm-pack with a small stub,
and crafted edge cases. Run from anywhere; the seeds are kept in the tree,
so this is only needed when they are to be remade.

    python3 tests/fuzz/make_corpus.py build/linux/holm-pack
"""
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
MAGIC = b"qUoRdaViNe"


def local_header(name, data, extra=b"", length=None):
    size = len(data) if length is None else length
    fixed = struct.pack("<4sHHHHHIIIHH", b"PK\x03\x04", 10, 0, 0, 0, 0, 0, size, size,
                        len(name), len(extra))
    return fixed + name + extra + data


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def packed_bundles(pack):
    with tempfile.TemporaryDirectory() as tmp:
        stub = os.path.join(tmp, "stub")
        with open(stub, "wb") as f:
            f.write(b"MZ a small stand-in for the program\n")
        files = {"fw.bin": MAGIC + b"\x00\x01firmware", "notes.txt": b"release notes\n",
                 "sub/dir/print.prn": b"\x1b%-12345X@PJL\r\n", "empty.bin": b""}
        for name, data in files.items():
            os.makedirs(os.path.join(tmp, os.path.dirname(name)), exist_ok=True)
            with open(os.path.join(tmp, name), "wb") as f:
                f.write(data)
        for seed, members in {"bundle_firmware": ["fw.bin"],
                              "bundle_mixed": ["fw.bin", "notes.txt", "sub/dir/print.prn", "empty.bin"]}.items():
            out = os.path.join(tmp, seed + ".exe")
            subprocess.run([pack, "-o", out, "-s", stub] + members, cwd=tmp, check=True)
            with open(out, "rb") as f:
                write("scanner_fuzz", seed, f.read())


def crafted_archives():
    ok = local_header(b"ok.bin", b"ok")
    cases = {
        "header_at_zero": local_header(b"first", b"1") + local_header(b"second", b"2"),
        "directory_entries": b"x" + local_header(b"d/", b"") + local_header(b"d/a", b"A"),
        "cut_fixed_part": b"x" + ok + local_header(b"cut", b"data")[:20],
        "cut_name": b"x" + ok + local_header(b"long-name.bin", b"data")[:35],
        "huge_length": b"x" + local_header(b"big", b"short", length=0xFFFFFFFF),
        # Both lengths at their largest, with far fewer bytes behind them.
        "max_name_and_extra": b"x" + local_header(b"n" * 65535, b"d", extra=b"e" * 65535)[:300],
        "nul_in_name": b"x" + local_header(b"a\x00b.bin", b"data"),
        "nested_header": b"x" + local_header(b"outer", local_header(b"inner", b"i")) + ok,
        "unsafe_names": b"x" + local_header(b"../up", b"") + local_header(b"C:x", b"")
                        + local_header(b"\\root", b""),
        "firmware_short": b"x" + local_header(b"fw", MAGIC[:9]),
        "signature_at_end": b"xxPK\x03",
    }
    for name, data in cases.items():
        write("scanner_fuzz", name, data)


def command_lines():
    cases = {
        "extract": [b"holm"],
        "network": [b"holm.exe", b"-d", b"-n", b"198.18.0.2", b"-m", b"a", b"-l", b"admin", b"-w", b"pw",
                    b"fw.bin"],
        "slash_options": [b"C:\\x\\holm.EXE", b"/a", b"/pbOFFICE", b"file"],
        "joined": [b"h", b"-adn10.0.0.5", b"-mk", b"--", b"-pb"],
        "printer_63": [b"holm", b"-pb" + b"p" * 63],
        "printer_64": [b"holm", b"-pb" + b"p" * 64],
        "mode_high": [b"holm", b"-m\x80", b"-m\xff"],
        "missing_argument": [b"holm", b"-a", b"-n"],
        "empty_address": [b"holm", b"-n", b""],
        "help": [b"holm", b"-x", b"-h", b"-q", b"-:"],
    }
    for name, args in cases.items():
        write("command_line_fuzz", name, b"\x00".join(args))


def streams():
    cases = {
        "login": b"login: \x00\xff" + b"\r\nprinter login: ",
        "password": b"Password: \x00\x10" + b"Password Password: ",
        "prompt_missed": b"> \x00\x40" + b">> not a prompt",
        "overlap": b"aab\x00\x08" + b"aaab",
        "empty_pattern": b"\x00\x05" + b"anything",
        "no_capture": b"# \x00\x00" + b"busybox # ",
        "binary": b"\xff\xfe\x00\x20" + bytes(range(256)),
    }
    for name, data in cases.items():
        write("wait_for_text_fuzz", name, data)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    packed_bundles(os.path.abspath(sys.argv[1]))
    crafted_archives()
    command_lines()
    streams()
