"""Extraction onto a file system that fills up: the run fails with the write
error and the file stays as far as it was written."""
import os
import subprocess
import unittest

import harness
from harness import ScratchCase


@unittest.skipIf(harness.WINE, "the small file system is mounted natively")
class FullDisk(ScratchCase):
    def test_write_error_is_reported_and_partial_file_kept(self):
        bundle = self.bundle([("small.bin", b"s" * 100), ("big.bin", os.urandom(400 * 1024))])
        os.mkdir(self.path("disk"))
        # A private mount namespace: the small tmpfs is seen by this run only.
        script = ('mount --make-rprivate / && mount -t tmpfs -o size=128k tmpfs disk && cd disk && '
                  '"$0"; status=$?; ls -l > ../listing; wc -c < big.bin > ../size; cd .. && umount disk; exit $status')
        done = subprocess.run(["unshare", "-m", "sh", "-c", script, bundle], cwd=self.dir,
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 1, done)
        self.assertEqual(done.stdout, "\nExtracting: small.bin\n\nExtracting: big.bin\n"
                         "\nError: Could not write output file big.bin, error = 28\n")
        with open(self.path("size")) as f:
            kept = int(f.read())
        self.assertGreater(kept, 0)
        self.assertLess(kept, 400 * 1024)


if __name__ == "__main__":
    unittest.main()
