"""The packer: bundles that other ZIP readers accept, folders walked into
reproducible bundles, and its refusals."""
import os
import shutil
import socket
import subprocess
import unittest
import zipfile

import harness
import packer

# Names whose byte order differs from the order a folder-by-folder walk
# meets them in: '-' and '.' sort before '/', capitals before small letters.
TREE = {"B.bin": b"capital\n", "a-b.txt": b"dash\n", "a.txt": b"dot\n", "a/x.bin": b"below a\n",
        "a/deep/er/y.bin": os.urandom(70000), "a0.txt": b"digit\n", "image.bin": b"qUoRdaViNe" + b"\x00" * 300}
SORTED = sorted(TREE, key=lambda name: name.encode())


class Packer(packer.PackCase):
    def sample(self):
        files = {"fw/image.bin": b"qUoRdaViNe" + bytes(range(256)) * 40, "notes.txt": b"notes\n",
                 "empty.bin": b""}
        for name, data in files.items():
            self.write(name, data)
        return files

    def test_bundle_is_read_alike_by_unzip_and_zipfile(self):
        files = self.sample()
        self.assertPacked(self.pack("-o", "out.exe", "-s", "stub.exe", *files))
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
        if not harness.WINE:
            self.assertEqual(os.stat(self.path("out.exe")).st_mode & 0o111, os.stat(self.stub).st_mode & 0o111)

    def test_round_trip_through_extraction(self):
        files = self.sample()
        files["fw/sub/deep.bin"] = os.urandom(100000)
        self.write("fw/sub/deep.bin", files["fw/sub/deep.bin"])
        done = self.pack("-o", "out.exe", "-s", "stub.exe", *files)
        self.assertEqual(done.status, 0, done.stderr)
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
            (["-o", "out.exe", "-s", "stub.exe", "missing.bin"], "not a regular file"),
            (["-o", "notes.txt", "-s", "stub.exe", "notes.txt"], "output itself"),
            (["-o", "stub.exe", "-s", "stub.exe", "notes.txt"], "stub itself"),
            (["-o", "out.exe", "-s", "nosuch.exe", "notes.txt"], "no such program"),
        ]
        for args, words in cases:
            with self.subTest(args=args):
                self.assertRefused(self.pack(*args), words)
        self.assertEqual(self.read("notes.txt"), b"notes\n")

    def test_default_stub_is_the_program_beside_the_packer(self):
        self.sample()
        tools = self.path("tools")
        os.mkdir(tools)
        suffix = ".exe" if harness.WINE else ""
        copy = os.path.join(tools, "holm-pack" + suffix)
        shutil.copy(packer.PACK, copy)
        with open(os.path.join(tools, "holm" + suffix), "wb") as f:
            f.write(b"stub beside the packer\n")
        os.chmod(os.path.join(tools, "holm" + suffix), 0o755)
        search = os.environ.get("PATH", "")
        starts = {"by path": (copy, search)}
        if not harness.WINE:  # Wine's programs search their own PATH
            starts["by name along PATH"] = ("holm-pack", tools + os.pathsep + search)
        for how, (command, path) in starts.items():
            with self.subTest(how=how):
                done = self.pack("-o", "out.exe", "notes.txt", program=command,
                                 env=dict(harness.environment(), PATH=path))
                self.assertEqual(done.status, 0, done.stderr)
                self.assertTrue(self.read("out.exe").startswith(b"stub beside the packer\n"))
                os.remove(self.path("out.exe"))

    def test_usage(self):
        done = self.pack("--help")
        self.assertEqual(done.status, 0)
        self.assertTrue(done.stdout.startswith("Usage: holm-pack -o OUTPUT"))
        for args in ([], ["-o"], ["-o", "out.exe"], ["-q", "x"], ["-C"], ["-t"], ["-t", "a.exe", "b.exe"],
                     ["-t", "a.exe", "-o", "out.exe"]):
            with self.subTest(args=args):
                done = self.pack(*args)
                self.assertEqual((done.status, done.stdout), (1, ""))
                self.assertIn("Usage: holm-pack", done.stderr)


class Folders(packer.PackCase):
    def make_tree(self, top="tree"):
        for name, data in TREE.items():
            self.write(os.path.join(top, name), data)
        os.makedirs(self.path(top, "a", "empty", "emptier"))

    def names(self, bundle):
        with zipfile.ZipFile(self.path(bundle)) as z:
            self.assertIsNone(z.testzip())
            return [i.filename for i in z.infolist()]

    def test_a_tree_gives_the_same_bytes_as_its_files_in_sorted_order(self):
        self.make_tree()
        self.assertPacked(self.pack("-o", "walked.exe", "-s", "stub.exe", "tree"))
        self.assertPacked(self.pack("-o", "again.exe", "-s", "stub.exe", "./tree/"))
        self.assertPacked(self.pack("-o", "listed.exe", "-s", "stub.exe", *["tree/" + n for n in SORTED]))
        walked = self.read("walked.exe")
        self.assertEqual(walked, self.read("again.exe"))
        self.assertEqual(walked, self.read("listed.exe"))
        # No directory entries: a bundle holds the files and nothing else.
        self.assertEqual(self.names("walked.exe"), ["tree/" + n for n in SORTED])
        with zipfile.ZipFile(self.path("walked.exe")) as z:
            self.assertEqual({n: z.read("tree/" + n) for n in TREE}, TREE)

    def test_base_folder_stores_names_relative_to_it(self):
        self.make_tree(os.path.join("build", "release"))
        self.write("notes.txt", b"outside\n")
        self.assertPacked(self.pack("-o", "based.exe", "-s", "stub.exe", "-C", "build/release", "."))
        self.assertEqual(self.names("based.exe"), SORTED)
        self.assertPacked(self.pack("-o", "listed.exe", "-s", "stub.exe", "-C", "build/release", *SORTED))
        self.assertEqual(self.read("based.exe"), self.read("listed.exe"))
        # Named files keep their place; a folder's files stand where it is named.
        self.assertPacked(self.pack("-o", "mixed.exe", "-s", "stub.exe", "-C", "build", "release/image.bin",
                                    "release/a"))
        self.assertEqual(self.names("mixed.exe"),
                         ["release/image.bin", "release/a/deep/er/y.bin", "release/a/x.bin"])
        cases = [(["-C", "build/release", "../../notes.txt"], "'..'"),
                 (["-C", "build/release", "nothere.bin"], "not a regular file"),
                 (["-C", "notes.txt", "x"], "not a folder"),
                 (["-C", "nofolder", "x"], "not a folder")]
        for args, words in cases:
            with self.subTest(args=args):
                self.assertRefused(self.pack("-o", "out.exe", "-s", "stub.exe", *args), words)

    def test_the_output_is_left_out_of_a_walk_over_its_own_folder(self):
        self.make_tree()
        for _ in range(2):
            self.assertPacked(self.pack("-o", "tree/out.exe", "-s", "stub.exe", "-C", "tree", "."))
            self.assertEqual(self.names("tree/out.exe"), SORTED)

    def refused_tree(self, name, make, words):
        with self.subTest(name=name):
            self.make_tree()
            make(self.path("tree", "a", "deep", name))
            done = self.pack("-o", "out.exe", "-s", "stub.exe", "tree")
            self.assertRefused(done, words)
            self.assertIn(name, done.stderr)
            shutil.rmtree(self.path("tree"))

    def test_links_devices_and_sockets_are_refused_by_name(self):
        self.refused_tree("linked-folder", lambda p: os.symlink(self.path("tree", "a", "deep", "er"), p),
                          "symbolic link")
        self.refused_tree("fifo", os.mkfifo, "not a regular file")
        if not harness.WINE:
            # Wine shows a link to a file as the file itself, and a socket not at all.
            self.refused_tree("linked-file", lambda p: os.symlink(self.path("tree", "a.txt"), p), "symbolic link")
            with socket.socket(socket.AF_UNIX) as listener:
                self.refused_tree("socket", listener.bind, "not a regular file")

    def test_a_tree_without_files_is_refused(self):
        os.makedirs(self.path("bare", "sub", "subsub"))
        os.makedirs(self.path("none"))
        for args in (["bare"], ["-C", "bare", "."], ["none"]):
            with self.subTest(args=args):
                done = self.pack("-o", "out.exe", "-s", "stub.exe", *args)
                self.assertRefused(done, "holds no file")


if __name__ == "__main__":
    unittest.main()
