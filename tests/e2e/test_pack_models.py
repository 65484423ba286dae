"""holm-pack --for: the printer models a bundle is for, recorded in its
archive comment, which ZIP readers show and the program never reads; -t
names them; the patterns refused; and the simulated printer that reports
its make and model over IPP."""
import http.client
import os
import shutil
import socket
import struct
import subprocess
import sys
import time
import unittest
import zipfile
from concurrent.futures import ThreadPoolExecutor

import downloads
import harness
import netbed
import packer

FILES = {"fw/image.bin": b"qUoRdaViNe" + bytes(range(256)) * 40, "notes.txt": b"notes\n"}
FOR = ["HOLM Laser 5*", "HOLM Laser 6?"]
COMMENT = b"holm-for: HOLM Laser 5*\nholm-for: HOLM Laser 6?\n"
MODELS_LINE = 'for printer models: "HOLM Laser 5*", "HOLM Laser 6?"\n'


def with_comment(archive, comment):
    """A bundle written without a comment, given this one."""
    return archive[:-2] + len(comment).to_bytes(2, "little") + comment


class ModelsCase(packer.PackCase):
    def setUp(self):
        super().setUp()
        for name, data in FILES.items():
            self.write(name, data)

    def made(self, name, models=()):
        args = [arg for pattern in models for arg in ("--for", pattern)]
        self.assertPacked(self.pack("-o", name, "-s", "stub.exe", *args, *FILES))
        return self.read(name)


class Recorded(ModelsCase):
    def test_only_the_comment_differs_and_zip_readers_read_it(self):
        plain, named = self.made("plain.exe"), self.made("named.exe", FOR)
        self.assertEqual(named, with_comment(plain, COMMENT))
        with zipfile.ZipFile(self.path("named.exe")) as z:
            self.assertIsNone(z.testzip())
            self.assertEqual(z.comment, COMMENT)
            self.assertEqual({i.filename: z.read(i) for i in z.infolist()}, FILES)
        if not shutil.which("unzip"):
            return
        checked = subprocess.run(["unzip", "-t", "named.exe"], cwd=self.dir, capture_output=True, text=True)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        self.assertNotIn("warning", (checked.stdout + checked.stderr).lower())
        shown = subprocess.run(["unzip", "-z", "named.exe"], cwd=self.dir, capture_output=True)
        self.assertEqual((shown.returncode, shown.stdout), (0, b"Archive:  named.exe\n" + COMMENT))

    def test_the_program_extracts_alike(self):
        runs = {}
        for name, models in (("plain", ()), ("named", FOR)):
            os.mkdir(self.path(name))
            self.write(os.path.join(name, "bundle.exe"), self.made(name + ".exe", models))
            os.chmod(self.path(name, "bundle.exe"), 0o755)
            result = harness.run("bundle.exe" if harness.WINE else "./bundle.exe", [], self.path(name))
            runs[name] = (result.status, result.stdout, result.stderr)
            for file, data in FILES.items():
                self.assertEqual(self.read(os.path.join(name, file)), data, (name, file))
        self.assertEqual(runs["named"], runs["plain"])
        self.assertEqual(runs["plain"], (0, "".join(f"\nExtracting: {n}\n" for n in FILES), ""))

    def test_check_names_the_models(self):
        plain = self.made("plain.exe")
        self.made("named.exe", FOR)
        before = self.pack("-t", "plain.exe")
        self.assertEqual((before.status, before.stderr), (0, ""))
        self.assertNotIn("printer models", before.stdout)
        done = self.pack("-t", "named.exe")
        self.assertEqual((done.status, done.stderr), (0, ""))
        self.assertEqual(done.stdout, before.stdout.replace("plain.exe: sound\n", MODELS_LINE + "named.exe: sound\n"))
        # Another tool's comment names no models and leaves the report as it
        # was; ours by hand, with a pattern that can match nothing, is a problem.
        self.write("foreign.exe", with_comment(plain, b"Release 7, made by zip 3.0\nholm-for:x\n"))
        done = self.pack("-t", "foreign.exe")
        self.assertEqual((done.status, done.stdout, done.stderr),
                         (0, before.stdout.replace("plain.exe:", "foreign.exe:"), ""))
        self.write("bad.exe", with_comment(plain, b"holm-for: HOLM 5*\nholm-for: [HOLM\r\n"))
        done = self.pack("-t", "bad.exe")
        self.assertEqual((done.status, done.stderr), (1, "holm-pack: bad.exe: the archive comment names printer "
                                                         "models by \"[HOLM\\x0D\": control character in the pattern\n"))
        self.assertTrue(done.stdout.endswith('for printer models: "HOLM 5*", "[HOLM\\x0D"\nbad.exe: 1 problem\n'))

    def test_patterns_as_given(self):
        patterns = ["[!x]\\*", "holm-for: *", "*", "  spaced  ", 'quoted "name"']
        if not harness.WINE:  # Windows hands a program its arguments in the system's code page
            patterns.append("HOLM Läser ?")
        named = self.made("named.exe", patterns)
        expected = "".join(f"holm-for: {p}\n" for p in patterns).encode()
        self.assertEqual(named, with_comment(self.made("plain.exe"), expected))
        done = self.pack("-t", "named.exe")
        self.assertEqual(done.status, 0, done)
        self.assertIn("for printer models: " + ", ".join(f'"{p}"' for p in patterns) + "\n",
                      done.stdout.encode("latin-1").decode())

    def test_refusals(self):
        cases = {
            "empty": (["--for", ""], '--for "": empty pattern'),
            "unbalanced": (["--for", "HOLM 5*", "--for", "HOLM [56"], '--for "HOLM [56": a \'[\' that no \']\' closes'),
            "control": (["--for", "HOLM\t5"], '--for "HOLM\\x095": control character in the pattern'),
            "long": (["--for", "H" * 128], f'--for "{"H" * 128}": longer than 127 bytes'),
            "lone backslash": (["--for", "HOLM\\"], '--for "HOLM\\": a lone \'\\\' at the end'),
        }
        if not harness.WINE:
            cases["not UTF-8"] = (["--for", b"HOLM L\xe4ser"], '--for "HOLM L\xe4ser": not UTF-8 text')
            # More than a Windows command line holds.
            cases["too many"] = (["--for", "H" * 127] * 500, "--for: too many patterns")
        for case, (args, words) in cases.items():
            with self.subTest(case=case):
                done = self.pack("-o", "out.exe", "-s", "stub.exe", *args, *FILES)
                self.assertRefused(done, "holm-pack: " + words)
                self.assertEqual(done.stdout, "")
        self.made("named.exe", FOR)
        done = self.pack("-t", "named.exe", "--for", "HOLM*")
        self.assertEqual((done.status, done.stdout, done.stderr), (1, "", "holm-pack: --for names the printer models "
                                                                          "of a bundle being made (-o), not of one checked (-t)\n"))
        done = self.pack("-o", "out.exe", "--for")
        self.assertRefused(done, "holm-pack: --for: option requires an argument")


class Firmware(ModelsCase):
    """--firmware: the version a bundle installs, one comment line after the
    models, shown by -t; a value holm-fleet could not take is refused."""

    def test_recorded_after_the_models_and_shown(self):
        plain = self.made("plain.exe")
        args = ["--for", FOR[0], "--firmware", "main=2.10 (build 7)"]
        self.assertPacked(self.pack("-o", "both.exe", "-s", "stub.exe", *args, *FILES))
        expected = b"holm-for: HOLM Laser 5*\nholm-firmware: main=2.10 (build 7)\n"
        self.assertEqual(self.read("both.exe"), with_comment(plain, expected))
        with zipfile.ZipFile(self.path("both.exe")) as z:
            self.assertIsNone(z.testzip())
        before = self.pack("-t", "plain.exe")
        done = self.pack("-t", "both.exe")
        self.assertEqual((done.status, done.stderr), (0, ""))
        self.assertEqual(done.stdout, before.stdout.replace(
            "plain.exe: sound\n", 'for printer models: "HOLM Laser 5*"\n'
            'installs firmware: "main=2.10 (build 7)"\nboth.exe: sound\n'))

    def test_refused_values_and_hand_made_comments(self):
        for value in ("=2.1", "main=", "a=b=c", "2.1\n"):
            with self.subTest(value=value):
                done = self.pack("-o", "out.exe", "-s", "stub.exe", "--firmware", value, *FILES)
                self.assertRefused(done, "holm-pack: --firmware ")
                self.assertIn("not [NAME=]VERSION", done.stderr)
        plain = self.made("plain.exe")
        for comment, words in ((b"holm-firmware: 1\nholm-firmware: 2\n", "more than one firmware version"),
                               (b"holm-firmware: a=b=c\n", 'the firmware version "a=b=c", not [NAME=]VERSION')):
            with self.subTest(comment=comment):
                self.write("hand.exe", with_comment(plain, comment))
                done = self.pack("-t", "hand.exe")
                self.assertEqual(done.status, 1, done)
                self.assertIn("holm-pack: hand.exe: the archive comment records " + words, done.stderr)
        done = self.pack("-t", "plain.exe", "--firmware", "2.1")
        self.assertEqual((done.status, done.stdout), (1, ""))
        self.assertIn("--firmware names the version a bundle being made (-o) installs", done.stderr)


_skip = netbed.available()


@unittest.skipIf(_skip, _skip or "")
class Delivered(ModelsCase):
    """What a printer receives from a bundle that names models, against the
    same bundle without them."""

    def test_same_delivery(self):
        bundles = [self.path("plain.exe"), self.path("named.exe")]
        self.made("plain.exe")
        self.made("named.exe", FOR)
        with ThreadPoolExecutor(max_workers=2) as pool:
            plain, named = pool.map(lambda b: downloads.run_download([], ["-n", netbed.PRINTER_IP], bundle=b), bundles)
        for outcome in (plain, named):
            if outcome.error is not None:
                raise outcome.error
        self.assertEqual((plain.result.status, plain.result.stderr), (0, ""), plain.result)
        self.assertEqual(downloads.describe(plain.jobs), downloads.describe([b"".join(FILES.values())]))
        self.assertEqual((named.result.status, named.result.stdout, named.result.stderr, named.commands),
                         (plain.result.status, plain.result.stdout, plain.result.stderr, plain.commands))
        self.assertEqual(downloads.describe(named.jobs), downloads.describe(plain.jobs))


SIM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "printer-sim", "printer_sim.py")


def printer_group(body):
    """{name: [(value tag, value)]} of the printer attributes of an IPP
    response."""
    at, group, name, found = 8, None, None, {}
    while at < len(body) and group != 0x03:
        tag = body[at]
        at += 1
        if tag < 0x10:
            group = tag
            continue
        (length,) = struct.unpack(">H", body[at:at + 2])
        name = body[at + 2:at + 2 + length].decode() or name
        at += 2 + length
        (length,) = struct.unpack(">H", body[at:at + 2])
        if group == 0x04:
            found.setdefault(name, []).append((tag, body[at + 2:at + 2 + length]))
        at += 2 + length
    return found


def get_printer_attributes(port):
    uri = f"ipp://127.0.0.1:{port}/ipp/print".encode()
    request = struct.pack(">HHI", 0x0101, 0x000B, 1) + b"\x01"
    for tag, name, value in ((0x47, b"attributes-charset", b"utf-8"),
                             (0x48, b"attributes-natural-language", b"en"), (0x45, b"printer-uri", uri)):
        request += struct.pack(">BH", tag, len(name)) + name + struct.pack(">H", len(value)) + value
    request += b"\x03"
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        connection.request("POST", "/ipp/print", request, {"Content-Type": "application/ipp"})
        answer = connection.getresponse()
        return answer.status, answer.read()
    finally:
        connection.close()


@unittest.skipIf(harness.WINE, "runs no Windows program")
class SimulatedPrinterModel(unittest.TestCase):
    def start(self, *args):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        sim = subprocess.Popen([sys.executable, SIM, "--host", "127.0.0.1", "--telnet-port", "0", "--raw-port", "0",
                                "--ipp-port", str(port), "--firmware", "2.0", *args])
        self.addCleanup(sim.wait, 10)
        self.addCleanup(sim.kill)
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return port
            except OSError:
                if time.monotonic() > deadline or sim.poll() is not None:
                    raise
                time.sleep(0.05)

    def test_reports_its_model_when_given_one(self):
        model = "HOLM Läser 5100 dn"
        for args, expected in (([], None), (["--model", model], [(0x41, model.encode())])):
            with self.subTest(args=args):
                status, body = get_printer_attributes(self.start(*args))
                self.assertEqual((status, body[2:4]), (200, b"\x00\x00"))
                found = printer_group(body)
                self.assertEqual(found.get("printer-make-and-model"), expected)
                self.assertEqual(found["printer-firmware-string-version"], [(0x41, b"2.0")])


if __name__ == "__main__":
    unittest.main()
