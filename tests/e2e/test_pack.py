"""The packer: bundles that other ZIP readers accept, and its refusals."""
import os
import shutil
import subprocess
import unittest
import zipfile

import harness
from harness import ScratchCase

PACK = os.environ.get("HOLM_PACK", "")


class Packer(ScratchCase):
    def setUp(self):
        super().setUp()
        if not PACK or not os.path.isfile(PACK):
            self.fail(f"HOLM_PACK does not name the built packer: {PACK!r}")
        self.stub = self.path("stub.exe")
        shutil.copy(harness.BIN, self.stub)

    def pack(self, *args):
        return subprocess.run([os.path.abspath(PACK)] + list(args), cwd=self.dir,
                              capture_output=True, text=True, timeout=60)

    def write(self, name, data):
        os.makedirs(os.path.dirname(self.path(name)) or self.dir, exist_ok=True)
        with open(self.path(name), "wb") as f:
            f.write(data)

    def sample(self):
        files = {"fw/image.bin": b"qUoRdaViNe" + bytes(range(256)) * 40, "notes.txt": b"notes\n",
                 "empty.bin": b""}
        for name, data in files.items():
            self.write(name, data)
        return files

    def test_bundle_is_read_alike_by_unzip_and_zipfile(self):
        files = self.sample()
        done = self.pack("-o", "out.exe", "-s", "stub.exe", *files)
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        with zipfile.ZipFile(self.path("out.exe")) as z:
            self.assertIsNone(z.testzip())
            self.assertEqual({i.filename: z.read(i) for i in z.infolist()}, files)
            for info in z.infolist():
                self.assertEqual(info.compress_type, zipfile.ZIP_STORED)
                self.assertEqual(info.flag_bits & 0x8, 0)  # no data descriptor
        if shutil.which("unzip"):
            checked = subprocess.run(["unzip", "-t", "out.exe"], cwd=self.dir, capture_output=True, text=True)
            self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
            self.assertNotIn("warning", (checked.stdout + checked.stderr).lower())
        with open(self.path("out.exe"), "rb") as f, open(self.stub, "rb") as s:
            self.assertEqual(f.read(os.path.getsize(self.stub)), s.read())
        self.assertEqual(os.stat(self.path("out.exe")).st_mode & 0o111, os.stat(self.stub).st_mode & 0o111)

    def test_round_trip_through_extraction(self):
        files = self.sample()
        files["fw/sub/deep.bin"] = os.urandom(100000)
        self.write("fw/sub/deep.bin", files["fw/sub/deep.bin"])
        done = self.pack("-o", "out.exe", "-s", "stub.exe", *files)
        self.assertEqual(done.returncode, 0, done.stderr)
        os.mkdir(self.path("x"))
        shutil.move(self.path("out.exe"), self.path("x", "out.exe"))
        result = harness.run("out.exe" if harness.WINE else "./out.exe", [], self.path("x"))
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.stdout, "".join(f"\nExtracting: {n}\n" for n in files))
        for name, data in files.items():
            with open(self.path("x", name), "rb") as f:
                self.assertEqual(f.read(), data, name)

    def test_refusals_leave_no_output(self):
        self.sample()
        planted = self.path("planted.exe")
        shutil.copy(self.stub, planted)
        with open(planted, "ab") as f:
            f.write(b"PK\x03\x04")
        cases = [
            (["-o", "out.exe", "-s", "planted.exe", "notes.txt"], "signature"),
            (["-o", "out.exe", "-s", "stub.exe", "../x"], "'..'"),
            (["-o", "out.exe", "-s", "stub.exe", os.path.abspath(self.path("notes.txt"))], "absolute"),
            (["-o", "out.exe", "-s", "stub.exe", "fw"], "not a regular file"),
            (["-o", "out.exe", "-s", "stub.exe", "missing.bin"], "not a regular file"),
            (["-o", "notes.txt", "-s", "stub.exe", "notes.txt"], "output itself"),
            (["-o", "stub.exe", "-s", "stub.exe", "notes.txt"], "stub itself"),
            (["-o", "out.exe", "-s", "nosuch.exe", "notes.txt"], "no such program"),
        ]
        for args, words in cases:
            with self.subTest(args=args):
                done = self.pack(*args)
                self.assertEqual(done.returncode, 1)
                self.assertIn(words, done.stderr)
                self.assertFalse(os.path.exists(self.path("out.exe")))
                self.assertFalse(os.path.exists(self.path("out.exe.partial")))
        with open(self.path("notes.txt"), "rb") as f:
            self.assertEqual(f.read(), b"notes\n")

    def test_default_stub_is_the_program_beside_the_packer(self):
        self.sample()
        tools = self.path("tools")
        os.mkdir(tools)
        shutil.copy(PACK, os.path.join(tools, "holm-pack"))
        with open(os.path.join(tools, "holm"), "wb") as f:
            f.write(b"stub beside the packer\n")
        os.chmod(os.path.join(tools, "holm"), 0o755)
        starts = {"by path": (os.path.join(tools, "holm-pack"), os.environ.get("PATH", "")),
                  "by name along PATH": ("holm-pack", tools + os.pathsep + os.environ.get("PATH", ""))}
        for how, (command, search) in starts.items():
            with self.subTest(how=how):
                done = subprocess.run([command, "-o", "out.exe", "notes.txt"], cwd=self.dir, capture_output=True,
                                      text=True, timeout=60, env=dict(os.environ, PATH=search))
                self.assertEqual(done.returncode, 0, done.stderr)
                with open(self.path("out.exe"), "rb") as f:
                    self.assertTrue(f.read().startswith(b"stub beside the packer\n"))
                os.remove(self.path("out.exe"))

    def test_usage(self):
        done = self.pack("--help")
        self.assertEqual(done.returncode, 0)
        self.assertTrue(done.stdout.startswith("Usage: holm-pack -o OUTPUT"))
        for args in ([], ["-o"], ["-o", "out.exe"], ["-q", "x"]):
            with self.subTest(args=args):
                done = self.pack(*args)
                self.assertEqual((done.returncode, done.stdout), (1, ""))
                self.assertIn("Usage: holm-pack", done.stderr)


if __name__ == "__main__":
    unittest.main()
