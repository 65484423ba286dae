"""End-to-end checks of archive extraction: a copy of the built program with
a stored ZIP appended, run in a scratch directory with a given stdin.

HOLM_BIN names the built program. HOLM_EXEC_PREFIX, when set, is put in
front of the command (a Windows build under Wine, say); its output then has
CRLF line ends, which are folded to LF before comparing.
"""

import errno
import os
import re
import shlex
import shutil
import tempfile
import unittest
import warnings
import zipfile

import harness

HOLM_BIN = os.environ.get("HOLM_BIN")
EXEC_PREFIX = shlex.split(os.environ.get("HOLM_EXEC_PREFIX", ""))


def question(name):
    return "\nWarning! %s already exists, overwrite (y/N)?" % name


def extracting(name):
    return "\nExtracting: %s\n" % name


@unittest.skipUnless(HOLM_BIN, "HOLM_BIN is not set")
class BundleCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.env = harness.environment()

    def setUp(self):
        # top holds the bundle's folder and the scratch folder side by side,
        # so anything written outside the scratch folder shows up in top.
        self.top = tempfile.mkdtemp(prefix="holm_e2e_")
        self.addCleanup(shutil.rmtree, self.top, True)
        self.bundle_dir = os.path.join(self.top, "bundle")
        self.work = os.path.join(self.top, "work")
        os.mkdir(self.bundle_dir)
        os.mkdir(self.work)

    def make_bundle(self, entries):
        """entries: (name, bytes) pairs; a name ending in '/' is a directory."""
        archive = os.path.join(self.top, "payload.zip")
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_STORED) as z, warnings.catch_warnings():
            # Repeated names are wanted by some cases.
            warnings.simplefilter("ignore", UserWarning)
            for name, data in entries:
                info = zipfile.ZipInfo(name)
                info.compress_type = zipfile.ZIP_STORED
                z.writestr(info, data)
        bundle = os.path.join(self.bundle_dir, "bundle.exe")
        shutil.copyfile(HOLM_BIN, bundle)
        os.chmod(bundle, 0o755)
        with open(bundle, "ab") as out, open(archive, "rb") as src:
            out.write(src.read())
        os.remove(archive)
        return bundle

    def run_bundle(self, entries, stdin=b""):
        bundle = self.make_bundle(entries)
        proc = harness.run_process(EXEC_PREFIX + [bundle], cwd=self.work, input=stdin,
                                   env=self.env, timeout=120)
        out = proc.stdout.decode("latin-1")
        if EXEC_PREFIX:
            out = out.replace("\r\n", "\n")
        return proc.returncode, out

    def path(self, name):
        return os.path.join(self.work, *name.split("/"))

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def put(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def work_listing(self):
        found = []
        for root, dirs, files in os.walk(self.work):
            rel = os.path.relpath(root, self.work)
            for n in dirs + files:
                found.append(os.path.normpath(os.path.join(rel, n)).replace(os.sep, "/"))
        return sorted(found)


class WritingTest(BundleCase):
    def test_nested_directories_are_created(self):
        status, out = self.run_bundle([("fw/sub/image.bin", b"\x00\x01firmware\xff")])
        self.assertEqual(out, extracting("fw/sub/image.bin"))
        self.assertEqual(status, 0)
        self.assertEqual(self.read("fw/sub/image.bin"), b"\x00\x01firmware\xff")
        self.assertEqual(self.work_listing(), ["fw", "fw/sub", "fw/sub/image.bin"])

    def test_existing_directory_prefix_is_used(self):
        os.mkdir(self.path("fw"))
        status, out = self.run_bundle([("fw/a.txt", b"A"), ("fw/b.txt", b"BB")])
        self.assertEqual(out, extracting("fw/a.txt") + extracting("fw/b.txt"))
        self.assertEqual(status, 0)
        self.assertEqual(self.read("fw/a.txt"), b"A")
        self.assertEqual(self.read("fw/b.txt"), b"BB")

    def test_prefix_that_is_a_file_fails_at_create(self):
        self.put("fw", b"plain file")
        status, out = self.run_bundle([("fw/image.bin", b"data")])
        self.assertEqual(status, 1)
        m = re.fullmatch(re.escape(extracting("fw/image.bin")) +
                         r"\nError: Could not create output file fw/image\.bin, error = (\d+)\n", out)
        self.assertIsNotNone(m, out)
        if not EXEC_PREFIX:
            self.assertEqual(int(m.group(1)), errno.ENOTDIR)
        self.assertEqual(self.read("fw"), b"plain file")

    def test_empty_entry_makes_empty_file(self):
        status, out = self.run_bundle([("empty.bin", b"")])
        self.assertEqual(out, extracting("empty.bin"))
        self.assertEqual(status, 0)
        self.assertEqual(self.read("empty.bin"), b"")

    def test_archive_without_entries(self):
        status, out = self.run_bundle([])
        self.assertEqual((status, out), (0, ""))
        self.assertEqual(self.work_listing(), [])

    def test_directory_entries_are_skipped(self):
        status, out = self.run_bundle([("dir/", b""), ("dir/f.txt", b"F"), ("other/", b"")])
        self.assertEqual(out, extracting("dir/f.txt"))
        self.assertEqual(status, 0)
        self.assertEqual(self.work_listing(), ["dir", "dir/f.txt"])

    def test_leading_slash_fails_on_subdirectory(self):
        name = "/holm_e2e_absent/x.bin"
        status, out = self.run_bundle([(name, b"x"), ("after.txt", b"a")])
        self.assertEqual(out, extracting(name) + "\nError: Could not create subdirectory(s) for %s\n" % name)
        self.assertEqual(status, 1)
        self.assertEqual(self.work_listing(), [])
        self.assertFalse(os.path.exists("/holm_e2e_absent"))

    def test_later_entry_replaces_earlier_after_question(self):
        status, out = self.run_bundle([("same.txt", b"first"), ("same.txt", b"second")], b"y\n")
        self.assertEqual(out, extracting("same.txt") + question("same.txt") + extracting("same.txt"))
        self.assertEqual(status, 0)
        self.assertEqual(self.read("same.txt"), b"second")


class OverwriteTest(BundleCase):
    def ask_one(self, stdin):
        self.put("f.txt", b"old")
        return self.run_bundle([("f.txt", b"new")], stdin)

    def assert_overwritten(self, stdin):
        status, out = self.ask_one(stdin)
        self.assertEqual(out, question("f.txt") + extracting("f.txt"))
        self.assertEqual(status, 0)
        self.assertEqual(self.read("f.txt"), b"new")

    def assert_skipped(self, stdin):
        status, out = self.ask_one(stdin)
        self.assertEqual(out, question("f.txt"))
        self.assertEqual(status, 0)
        self.assertEqual(self.read("f.txt"), b"old")

    def test_y(self):
        self.assert_overwritten(b"y\n")

    def test_capital_y(self):
        self.assert_overwritten(b"Y\n")

    def test_yes(self):
        self.assert_overwritten(b"yes\n")

    def test_y_at_eof_without_newline(self):
        self.assert_overwritten(b"y")

    def test_n(self):
        self.assert_skipped(b"n\n")

    def test_ok(self):
        self.assert_skipped(b"ok\n")

    def test_enter_alone(self):
        self.assert_skipped(b"\n")

    def test_empty_input(self):
        self.assert_skipped(b"")

    def test_existing_directory_is_asked_about(self):
        os.mkdir(self.path("d"))
        status, out = self.run_bundle([("d", b"data")], b"n\n")
        self.assertEqual(out, question("d"))
        self.assertEqual(status, 0)
        self.assertTrue(os.path.isdir(self.path("d")))

    def two_existing(self, stdin):
        self.put("a.txt", b"old a")
        self.put("b.txt", b"old b")
        return self.run_bundle([("a.txt", b"new a"), ("b.txt", b"new b")], stdin)

    def test_rest_of_line_is_dropped(self):
        # "yes": only the 'y' answers; "es" must not become the next answer.
        status, out = self.two_existing(b"yes\nn\n")
        self.assertEqual(out, question("a.txt") + extracting("a.txt") + question("b.txt"))
        self.assertEqual(status, 0)
        self.assertEqual((self.read("a.txt"), self.read("b.txt")), (b"new a", b"old b"))

    def test_enter_alone_drops_the_following_line(self):
        # The "y" line after the Enter is eaten, so the second question gets
        # the second "y".
        status, out = self.two_existing(b"\ny\ny\n")
        self.assertEqual(out, question("a.txt") + question("b.txt") + extracting("b.txt"))
        self.assertEqual(status, 0)
        self.assertEqual((self.read("a.txt"), self.read("b.txt")), (b"old a", b"new b"))

    def test_enter_alone_then_y_leaves_nothing_for_second(self):
        status, out = self.two_existing(b"\ny\n")
        self.assertEqual(out, question("a.txt") + question("b.txt"))
        self.assertEqual(status, 0)
        self.assertEqual((self.read("a.txt"), self.read("b.txt")), (b"old a", b"old b"))


class UnsafeNameTest(BundleCase):
    UNSAFE = ["../evil.txt", "a/../../evil.txt", "a\\..\\..\\evil.txt", "..\\evil.txt",
              "C:evil.txt", "C:\\evil.txt", "\\evil.txt", "sub/.."]

    def test_unsafe_names_are_refused(self):
        for name in self.UNSAFE:
            with self.subTest(name=name):
                status, out = self.run_bundle([(name, b"evil"), ("after.txt", b"a")], b"y\n")
                self.assertEqual(out, "\nError: Unsafe entry name %s, it would be written outside "
                                      "the current directory\n" % name)
                self.assertEqual(status, 1)
                self.assertEqual(self.work_listing(), [])
                self.assertEqual(sorted(os.listdir(self.top)), ["bundle", "work"])
                self.assertEqual(os.listdir(self.bundle_dir), ["bundle.exe"])

    def test_refused_after_earlier_entries(self):
        status, out = self.run_bundle([("ok.txt", b"ok"), ("x/../../evil.txt", b"evil")])
        self.assertEqual(out, extracting("ok.txt") + "\nError: Unsafe entry name x/../../evil.txt, it would "
                                                     "be written outside the current directory\n")
        self.assertEqual(status, 1)
        self.assertEqual(self.work_listing(), ["ok.txt"])
        self.assertEqual(sorted(os.listdir(self.top)), ["bundle", "work"])

    def test_refused_before_question(self):
        # Even an existing file of that name is not asked about.
        os.mkdir(self.path("sub"))
        status, out = self.run_bundle([("sub/..", b"evil")], b"y\n")
        self.assertNotIn("Warning!", out)
        self.assertEqual(status, 1)

    def test_dots_inside_names_are_fine(self):
        status, out = self.run_bundle([("..x", b"1"), ("x..", b"2"), ("a/..b", b"3")])
        self.assertEqual(out, extracting("..x") + extracting("x..") + extracting("a/..b"))
        self.assertEqual(status, 0)
        # Windows drops trailing dots from a file name when it creates it.
        trailing = "x" if EXEC_PREFIX else "x.."
        self.assertEqual(self.work_listing(), sorted(["..x", "a", "a/..b", trailing]))


if __name__ == "__main__":
    unittest.main()
