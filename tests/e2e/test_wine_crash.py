"""Under Wine a crash fails its test: the crashed program's status is the
exception's code, Wine says so in one line on its stderr, no debugger adds
a report, and the run is not made again."""
import os
import unittest

import harness

CRASH = os.path.join(os.path.dirname(harness.LAUNCHER), "crash.exe") if harness.LAUNCHER else ""


@unittest.skipUnless(harness.WINE, "only under Wine")
class UnhandledException(unittest.TestCase):
    def test_crash_is_reported_once_and_not_retried(self):
        done = harness.run_process(harness.PREFIX + [CRASH], env=harness.environment(),
                                   input=b"", timeout=harness.TIMEOUT)
        self.assertEqual(done.returncode, 0xC0000005 & 0xFF, done)
        self.assertEqual(done.stdout, b"crashing\r\n")
        lines = done.stderr.decode("latin-1").splitlines()
        self.assertEqual(len(lines), 1, lines)
        self.assertTrue(lines[0].startswith("wine: Unhandled "), lines)


if __name__ == "__main__":
    unittest.main()
