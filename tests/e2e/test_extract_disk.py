"""Extraction where the file system refuses: a disk that fills up and a
current directory that cannot be written. Each run happens in a private
mount namespace, so the mounts it needs are seen by that run only. Under
Wine the server is what opens the files, so each run has a prefix of its
own whose server starts inside the namespace and ends before the run
leaves it."""
import os
import subprocess
import unittest

import harness
from harness import ScratchCase

# $1 mounts, $2 is the folder to run in, the rest is the command. What the
# folder holds afterwards is listed into ../listing (name and size a line).
_SCRIPT = """
setup=$1; work=$2; shift 2
mount --make-rprivate / && sh -c "$setup" || exit 97
[ -n "$HOLM_WINE_START" ] && eval "$HOLM_WINE_START"
cd "$work" && "$@"; status=$?
[ -n "$HOLM_WINE_STOP" ] && eval "$HOLM_WINE_STOP"
find . -type f -printf '%p %s\\n' | sort > ../listing
exit $status
"""


class MountedRun(ScratchCase):
    def setUp(self):
        super().setUp()
        os.mkdir(self.path("work"))

    def run_mounted(self, setup, program=("../bundle.exe",)):
        env = harness.environment()
        if harness.WINE:
            wine = harness.wine_session().copy(self.path("wine"))
            self.addCleanup(wine.stop)
            env = wine.environment()
            env.update(HOLM_WINE_START=wine.start_script(harness.BIN), HOLM_WINE_STOP=wine.stop_script())
            program = harness.PREFIX + [harness.windows_path(self.path("bundle.exe"))]
        done = subprocess.run(["unshare", "-m", "sh", "-c", _SCRIPT, "sh", setup, "work"] + list(program),
                              cwd=self.dir, env=env, capture_output=True, timeout=harness.TIMEOUT)
        self.assertNotEqual(done.returncode, 97, done.stderr)
        with open(self.path("listing")) as f:
            listing = dict(line.rsplit(" ", 1) for line in f.read().splitlines())
        return harness.Result(done.returncode, harness._text(done.stdout),
                              harness._text(done.stderr)), {k: int(v) for k, v in listing.items()}


class FullDisk(MountedRun):
    def test_write_error_is_reported_and_partial_file_kept(self):
        self.bundle([("small.bin", b"s" * 100), ("big.bin", os.urandom(400 * 1024))])
        result, files = self.run_mounted("mount -t tmpfs -o size=128k tmpfs work")
        # Windows takes what fits and reports success with a short count.
        error = ("Did not write all data to big.bin" if harness.WINE else
                 "Could not write output file big.bin, error = 28")
        self.assertRun(result, 1, "\nExtracting: small.bin\n\nExtracting: big.bin\n"
                                  f"\nError: {error}\n")
        self.assertEqual(sorted(files), ["./big.bin", "./small.bin"])
        self.assertEqual(files["./small.bin"], 100)
        self.assertGreater(files["./big.bin"], 0)
        self.assertLess(files["./big.bin"], 400 * 1024)

    @unittest.skipIf(harness.WINE, "the kernel's copy within one file system is the Linux way of writing")
    def test_disk_holding_the_bundle_too(self):
        # The bundle lies on the disk that fills up, so the kernel copies
        # within one file system rather than between two.
        self.bundle([("small.bin", b"s" * 100), ("big.bin", os.urandom(400 * 1024))])
        pages = -(-os.path.getsize(self.path("bundle.exe")) // 4096)
        result, files = self.run_mounted(f"mount -t tmpfs -o size={(pages + 32) * 4}k tmpfs work && "
                                         "cp bundle.exe work/", ("./bundle.exe",))
        self.assertRun(result, 1, "\nExtracting: small.bin\n\nExtracting: big.bin\n"
                                  "\nError: Could not write output file big.bin, error = 28\n")
        self.assertEqual(sorted(files), ["./big.bin", "./bundle.exe", "./small.bin"])
        self.assertEqual(files["./small.bin"], 100)
        self.assertGreater(files["./big.bin"], 0)
        self.assertLess(files["./big.bin"], 400 * 1024)


class UnwritableDirectory(MountedRun):
    READ_ONLY = "mount --bind work work && mount -o remount,bind,ro work"

    def test_file_in_read_only_directory(self):
        self.bundle([("a.bin", b"a"), ("b.bin", b"b")])
        result, files = self.run_mounted(self.READ_ONLY)
        error = 5 if harness.WINE else 30  # access denied; EROFS
        self.assertRun(result, 1, f"\nExtracting: a.bin\n\nError: Could not create output file a.bin, error = {error}\n")
        self.assertEqual(files, {})

    def test_subdirectory_in_read_only_directory(self):
        self.bundle([("sub/a.bin", b"a")])
        result, files = self.run_mounted(self.READ_ONLY)
        self.assertRun(result, 1, "\nExtracting: sub/a.bin\n\nError: Could not create subdirectory(s) for sub/a.bin\n")
        self.assertEqual(files, {})

    @unittest.skipIf(harness.WINE, "the Wine prefix belongs to root")
    def test_directory_without_write_permission(self):
        self.bundle([("a.bin", b"a")])
        os.chmod(self.dir, 0o755)
        os.chmod(self.path("work"), 0o555)
        # Root may write anywhere, so the program runs as nobody.
        result, files = self.run_mounted(
            "true", ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "../bundle.exe"])
        self.assertRun(result, 1, "\nExtracting: a.bin\n\nError: Could not create output file a.bin, error = 13\n")
        self.assertEqual(files, {})


if __name__ == "__main__":
    unittest.main()
