"""holm-pack -t: the program's own walk over a bundle, the problems it
reports, and what it says a network delivery does, held against a real
delivery to the simulated printer."""
import io
import os
import re
import shutil
import unittest
import zipfile
from concurrent.futures import ThreadPoolExecutor

import downloads
import harness
import netbed
import packer

MAGIC = b"qUoRdaViNe"
ROW = re.compile(r"^ *(\d+) +(\d+)  (yes|no ) +(ok|bad|-) +(image|data|dir) +(.*)$")
DOWNLOAD = "\nEntering download mode\n"
RESTART = "\nWaiting for printer to restart after download\n"


def report(stdout):
    """The rows (offset, size, stored, crc, kind, name) and the delivery
    lines of a -t report."""
    rows = [(int(m[1]), int(m[2]), m[3].strip(), m[4], m[5], m[6])
            for m in map(ROW.match, stdout.splitlines()) if m]
    said = dict(re.findall(r"^  (download mode|restart wait): (yes|no)", stdout, re.M))
    sent = re.search(r"^  port 9100: (\d+) files? sent, (\d+) bytes", stdout, re.M)
    return rows, said, (int(sent[1]), int(sent[2])) if sent else None


class Unseekable(io.RawIOBase):
    """A file appended to that cannot seek, as a pipe: zipfile then writes
    the sizes after each entry's data, not in its local header."""

    def __init__(self, f):
        self.f = f

    def writable(self):
        return True

    def write(self, data):
        return self.f.write(data)

    def tell(self):
        return self.f.tell()


class Check(packer.PackCase):
    def check(self, bundle):
        """-t on bundle: the run, its problems and its warnings (the lines on
        standard error, which the last line of the report counts)."""
        done = self.pack("-t", bundle)
        lines = [line for line in done.stderr.splitlines() if line]
        for line in lines:
            self.assertTrue(line.startswith(f"holm-pack: {bundle}: "), line)
        said = [line.split(": ", 2)[2] for line in lines]
        warnings = [line[len("warning: "):] for line in said if line.startswith("warning: ")]
        problems = said[:len(said) - len(warnings)]
        self.assertEqual(said[len(problems):], ["warning: " + w for w in warnings], "problems come first")
        self.assertEqual(done.status, 1 if problems else 0, done)
        verdict = f"{len(problems)} problem" + ("s" if len(problems) > 1 else "") if problems else "sound"
        if warnings:
            verdict += f", {len(warnings)} warning" + ("s" if len(warnings) > 1 else "")
        self.assertEqual(done.stdout.splitlines()[-1:], [f"{bundle}: {verdict}"])
        return done, problems, warnings

    def appended(self, name, entries, compression=zipfile.ZIP_STORED, stream=False):
        """A copy of the stub with a zipfile archive appended, its offsets
        counted from the start of the file."""
        shutil.copy(self.stub, self.path(name))
        with open(self.path(name), "ab" if stream else "r+b") as f:
            f.seek(0, os.SEEK_END)
            target = Unseekable(f) if stream else f
            with zipfile.ZipFile(target, "w" if stream else "a", compression) as z:
                for entry, data in entries:
                    z.writestr(zipfile.ZipInfo(entry) if compression == zipfile.ZIP_STORED else entry, data)
        return name

    def packed(self, name, files):
        for path, data in files.items():
            self.write(os.path.join("in", path), data)
        self.assertPacked(self.pack("-o", name, "-s", "stub.exe", "-C", "in", "."))
        return name

    def patched(self, name, source, at, data):
        whole = bytearray(self.read(source))
        whole[at:at + len(data)] = data
        self.write(name, bytes(whole))
        return name

    def test_sound_bundles(self):
        stub_size = os.path.getsize(self.stub)
        entries = [("fw/image.bin", MAGIC + bytes(5000)), ("notes.txt", b"notes\n"), ("extra/", b"")]
        bundle = self.appended("zipfile.exe", entries)
        done, _, _ = self.check(bundle)
        with zipfile.ZipFile(self.path(bundle)) as z:
            at = [i.header_offset for i in z.infolist()]
        self.assertEqual(at[0], stub_size)
        self.assertEqual(done.stdout, (
            "    offset        size  stored  crc  kind   name\n"
            f"{at[0]:10}        5010  yes     ok   image  fw/image.bin\n"
            f"{at[1]:10}           6  yes     ok   data   notes.txt\n"
            f"{at[2]:10}           0  yes     ok   dir    extra/\n"
            "network delivery (-n ADDRESS, default mode):\n"
            "  download mode: yes, the first file is a firmware image\n"
            "  port 9100: 2 files sent, 5016 bytes, in the order above\n"
            "  restart wait: no, the walk ends on the directory entry extra/, not a firmware image\n"
            "zipfile.exe: sound\n"))
        files = {"b.prn": b"print data\n", "a/image.bin": MAGIC + os.urandom(3000), "empty": b""}
        done, _, _ = self.check(self.packed("packed.exe", files))
        rows, said, sent = report(done.stdout)
        self.assertEqual([(r[5], r[1], r[2], r[3], r[4]) for r in rows],
                         [("a/image.bin", 3010, "yes", "ok", "image"), ("b.prn", 11, "yes", "ok", "data"),
                          ("empty", 0, "yes", "ok", "data")])
        self.assertEqual(rows[0][0], stub_size)
        self.assertEqual((said, sent), ({"download mode": "yes", "restart wait": "no"}, (3, 3021)))
        # The program and an archive joined as they stand: sound, with a
        # warning, and read as it is by the program's walk and by zipfile.
        joined = self.catenated("joined.exe", dict(entries))
        done, problems, warnings = self.check(joined)
        self.assertEqual((done.status, problems, warnings), (0, [], [
            f"the central directory counts its offsets from offset {stub_size}, not from the start of the file; "
            f"the program is not affected, unzip warns of {stub_size} extra bytes"]))
        self.assertEqual([(r[5], r[0]) for r in report(done.stdout)[0]],
                         [("fw/image.bin", stub_size), ("notes.txt", stub_size + 30 + 12 + 5010),
                          ("extra/", stub_size + 2 * 30 + 12 + 5010 + 9 + 6)])
        with zipfile.ZipFile(self.path(joined)) as z:
            self.assertIsNone(z.testzip())

    def test_damaged_bundles(self):
        files = {"image.bin": MAGIC + bytes(range(256)) * 8, "notes.txt": b"notes\n"}
        good = self.packed("good.exe", files)
        stub_size = os.path.getsize(self.stub)
        second_data = stub_size + 30 + len("image.bin") + len(files["image.bin"]) + 30 + len("notes.txt")
        central_name = len(self.read(good)) - 22 - (46 + len("notes.txt")) + 46
        fake_header = b"PK\x03\x04" + bytes(26)
        joined = self.read(self.catenated("joined.exe", files))
        second_offset = len(joined) - 22 - (46 + len("notes.txt")) + 42  # its low byte
        directory_at = len(self.read(good)) - 22 - int.from_bytes(self.read(good)[-10:-6], "little")
        cases = {
            "compressed": (self.appended("deflated.exe", [("a.txt", b"again " * 200)], zipfile.ZIP_DEFLATED),
                           ["a.txt: compressed (method 8); the program sends its bytes as they stand"]),
            "crc": (self.patched("crc.exe", good, second_data + 2, b"X"),
                    ["notes.txt: CRC mismatch, the data is not what was packed"]),
            "unsafe name": (self.appended("unsafe.exe", [("ok.bin", b"1"), ("../up.bin", b"2")]),
                            ["../up.bin: unsafe name: entry name with a '..' component"]),
            "cut": (self.truncated(good, second_data + 3),
                    [f"the entry at offset {second_data - 39} is cut by the end of the file; "
                     "the program stops there with status 1",
                     "no central directory: unzip and other ZIP readers cannot read the bundle"]),
            "names disagree": (self.patched("renamed.exe", good, central_name, b"N"),
                               [f"entry 2: the walk finds notes.txt (method 0, CRC 0x"]),
            "sizes after the data": (self.appended("streamed.exe", [("s.bin", b"streamed")], stream=True),
                                     ["entry 1: the walk finds s.bin (method 0, CRC 0x00000000, 0 bytes stored"]),
            # Joined as they stand, the walk still has to agree with the
            # directory once its offsets are shifted.
            "joined, an offset astray": (self.patched("joined-astray.exe", "joined.exe", second_offset, b"\x01"),
                                         ["entry 2: the walk finds notes.txt (method 0, CRC 0x"]),
            "directory placed beyond itself": (self.patched("beyond.exe", good, len(self.read(good)) - 6,
                                                            (directory_at + 5).to_bytes(4, "little")),
                                               ["the central directory lies 5 bytes before where its end record "
                                                "places it: bytes are missing from the file"]),
            "signature in the stub": (self.patched("stub-sig.exe", good, 1000, fake_header),
                                      ["the stub holds the archive signature at offset 1000; "
                                       "the program takes a false entry from it"]),
        }
        said = {}
        for case, (bundle, expected) in cases.items():
            with self.subTest(case=case):
                done, problems, _ = self.check(bundle)
                self.assertEqual(done.status, 1)
                for words in expected:
                    self.assertTrue(any(p.startswith(words) for p in problems), (words, problems))
                said[case] = done.stdout
        # What the delivery does with them, as far as it gets: up to the cut,
        # and an entry whose sizes follow its data is sent empty.
        _, lines, sent = report(said["cut"])
        self.assertEqual((lines, sent), ({"download mode": "yes", "restart wait": "no"}, (1, len(files["image.bin"]))))
        self.assertIn("then the run ends with status 1 at the cut entry", said["cut"])
        rows, _, sent = report(said["sizes after the data"])
        self.assertEqual((rows[0][1], sent), (0, (1, 0)))

    def truncated(self, source, size):
        self.write("cut.exe", self.read(source)[:size])
        return "cut.exe"

    def catenated(self, name, files):
        harness.make_bundle(self.path(name), list(files.items()))
        return name

    def test_unreadable_bundles(self):
        self.write("empty.exe", b"")
        for bundle in ("empty.exe", "missing.exe"):
            with self.subTest(bundle=bundle):
                done = self.pack("-t", bundle)
                self.assertEqual((done.status, done.stdout, done.stderr),
                                 (1, "", f"holm-pack: {bundle}: cannot be read, or is empty\n"))


_skip = netbed.available()


@unittest.skipIf(_skip, _skip or "")
class AgreesWithADelivery(packer.PackCase):
    """What -t says a default-mode delivery does, against what the program
    does with the same bundle and the simulated printer."""

    def test_three_bundles(self):
        image, data = downloads.FIRMWARE[0][1], downloads.ORDINARY[0][1]
        self.write("fw/image.bin", image)
        self.write("fw/notes.txt", b"release notes\n")
        self.write("jobs/job.prn", data)
        made = {"one image": ["-C", "fw", "image.bin"], "image then data": ["fw"], "data only": ["-C", "jobs", "."]}
        claims = {}
        for case, args in made.items():
            bundle = case.replace(" ", "-") + ".exe"
            self.assertPacked(self.pack("-o", bundle, "-s", "stub.exe", *args))
            done = self.pack("-t", bundle)
            self.assertEqual(done.status, 0, done)
            claims[case] = (bundle, report(done.stdout))
        with ThreadPoolExecutor(max_workers=len(made)) as pool:
            outcomes = dict(zip(claims, pool.map(
                lambda item: downloads.run_download([], ["-n", netbed.PRINTER_IP], bundle=self.path(item[0])),
                claims.values())))
        expected = {"one image": ("yes", "yes"), "image then data": ("yes", "no"), "data only": ("no", "no")}
        for case, (bundle, (rows, said, sent)) in claims.items():
            with self.subTest(case=case):
                outcome = outcomes[case]
                if outcome.error is not None:
                    raise outcome.error
                result = outcome.result
                self.assertEqual((result.status, result.stderr), (0, ""), result)
                self.assertEqual((said["download mode"], said["restart wait"]), expected[case])
                self.assertEqual(said["download mode"] == "yes", DOWNLOAD in result.stdout)
                self.assertEqual(said["download mode"] == "yes", "debug printer download" in outcome.commands)
                self.assertEqual(said["restart wait"] == "yes", RESTART in result.stdout)
                # One stream on port 9100: the files of the rows, in their order.
                whole = self.read(bundle)
                job = b"".join(whole[offset + 30 + len(name):][:size] for offset, size, *_, name in rows)
                self.assertEqual(sent, (len(rows), len(job)))
                self.assertEqual(downloads.describe(outcome.jobs), downloads.describe([job]))


if __name__ == "__main__":
    unittest.main()
