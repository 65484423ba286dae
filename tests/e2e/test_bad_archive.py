"""Damaged and unusual archives attached to the program: what is written,
what is said and the exit status."""
import os
import struct
import unittest

import harness
from harness import ScratchCase


def local_header(name, data, extra=b"", length=None, name_length=None, extra_length=None):
    """One stored entry's local header and data; the length fields may be
    given apart from the bytes that follow."""
    fields = struct.pack("<4sHHHHHIIIHH", b"PK\x03\x04", 10, 0, 0, 0, 0, 0,
                         len(data) if length is None else length, len(data),
                         len(name) if name_length is None else name_length,
                         len(extra) if extra_length is None else extra_length)
    return fields + name + extra + data


def extracting(name):
    return f"\nExtracting: {name}\n"


class BadArchive(ScratchCase):
    def setUp(self):
        super().setUp()
        os.mkdir(self.path("work"))

    def extract(self, tail, args=()):
        """Runs the bundle with tail as its archive from the folder work."""
        bundle = self.bundle(raw_tail=tail)
        self.offset = os.path.getsize(bundle) - len(tail)
        program = bundle if harness.WINE else os.path.join("..", "bundle.exe")
        return harness.run(program, list(args), self.path("work"))

    def listing(self):
        found = []
        for root, dirs, files in os.walk(self.path("work")):
            rel = os.path.relpath(root, self.path("work"))
            found += [os.path.normpath(os.path.join(rel, n)) for n in dirs + files]
        return sorted(found)

    def read(self, name):
        with open(self.path("work", name), "rb") as f:
            return f.read()

    def past_the_end(self, at):
        shown = harness.shown_argv0(self.path("bundle.exe")) if harness.WINE else "../bundle.exe"
        return f"\nError: Archive entry at offset {self.offset + at} runs past the end of {shown}\n"

    def test_header_cut_at_each_boundary(self):
        ok = local_header(b"ok.bin", b"ok")
        whole = local_header(b"name.bin", b"payload", extra=b"EXTR")
        # Inside the signature the rest is no header; from there on the cut
        # header is refused whole and what came before it stays written.
        cuts = {"signature": 3, "fixed part": 4, "fixed part end": 29, "name": 33,
                "extra field": 40, "data": len(whole) - 1}
        for part, cut in cuts.items():
            with self.subTest(part=part):
                result = self.extract(ok + whole[:cut])
                said = extracting("ok.bin") + ("" if cut < 4 else self.past_the_end(len(ok)))
                self.assertRun(result, 0 if cut < 4 else 1, said)
                self.assertEqual(self.listing(), ["ok.bin"])
                self.assertEqual(self.read("ok.bin"), b"ok")
                os.remove(self.path("work", "ok.bin"))

    def test_lengths_past_the_end(self):
        cases = {
            "size 0xFFFFFFFF": local_header(b"big.bin", b"short", length=0xFFFFFFFF),
            "size one too many": local_header(b"big.bin", b"short", length=6),
            "name length 65535": local_header(b"n.bin", b"data", name_length=65535),
            "extra length 65535": local_header(b"e.bin", b"data", extra_length=65535),
        }
        for case, tail in cases.items():
            with self.subTest(case=case):
                self.assertRun(self.extract(b"\x00" + tail, ["-d"]), 1, self.past_the_end(1) + "f\n")
                self.assertEqual(self.listing(), [])

    def test_longest_extra_field(self):
        tail = local_header(b"e.bin", b"data", extra=b"X" * 65535) + local_header(b"f.bin", b"F")
        self.assertRun(self.extract(tail), 0, extracting("e.bin") + extracting("f.bin"))
        self.assertEqual((self.read("e.bin"), self.read("f.bin")), (b"data", b"F"))

    def test_name_is_cut_at_a_nul_byte(self):
        # The name as used is the part before the NUL, so the rest cannot
        # lead out of the current directory.
        tail = local_header(b"a\x00/../../evil", b"one") + local_header(b"b.bin\x00", b"two")
        self.assertRun(self.extract(tail), 0, extracting("a") + extracting("b.bin"))
        self.assertEqual(self.listing(), ["a", "b.bin"])
        self.assertEqual((self.read("a"), self.read("b.bin")), (b"one", b"two"))
        self.assertEqual(sorted(os.listdir(self.dir)), ["bundle.exe", "work"])

    def test_entry_data_holding_headers(self):
        inner = harness.stored_zip([("inner.txt", b"inner"), ("../evil.txt", b"evil")])
        tail = local_header(b"outer.zip", inner) + local_header(b"after.txt", b"after")
        self.assertRun(self.extract(tail), 0, extracting("outer.zip") + extracting("after.txt"))
        self.assertEqual(self.listing(), ["after.txt", "outer.zip"])
        self.assertEqual(self.read("outer.zip"), inner)

    def test_many_entries(self):
        count = 100000
        # Wine creates files slowly; there most entries are directory
        # entries, which are walked over the same way but write nothing.
        step = 100 if harness.WINE else 1
        files = range(0, count, step)
        tail = b"".join(local_header(b"e/%d" % i, b"%d" % (i * 7)) if i % step == 0 else
                        local_header(b"d%d/" % i, b"") for i in range(count))
        result = self.extract(tail)
        self.assertRun(result, 0, "".join(extracting(f"e/{i}") for i in files))
        self.assertEqual(len(os.listdir(self.path("work", "e"))), len(files))
        self.assertEqual(self.listing()[:2], ["e", "e/0"])
        for i in (files[0], files[len(files) // 3], files[-1]):
            self.assertEqual(self.read(f"e/{i}"), b"%d" % (i * 7))

if __name__ == "__main__":
    unittest.main()
