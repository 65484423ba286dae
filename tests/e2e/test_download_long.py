"""A printer that never shuts down after a firmware download.

The restart wait gives up only after 500 answered probes of a second each,
so this run takes about eight and a half minutes: it has a test of its own.
"""
import unittest

import netbed
from downloads import FIRMWARE, run_download
from netbed import PRINTER_IP

_skip = netbed.available()


@unittest.skipIf(_skip, _skip or "")
class NeverShutsDown(unittest.TestCase):
    def test_gives_up_after_500_answers(self):
        outcome = run_download(FIRMWARE[:1], ["-d", "-n", PRINTER_IP], ["--never-shut-down"])
        if outcome.error is not None:
            raise outcome.error
        self.assertEqual(outcome.result.status, 1, outcome.result)
        self.assertEqual(outcome.result.stdout,
                         "p" + "t" * 7 + "w" * 5 + "p" + "t" * 7 + "###" + "p" * 500
                         + "\nError: Destination never shut down after download\nf\n")
        self.assertEqual(outcome.jobs, [FIRMWARE[0][1]])


if __name__ == "__main__":
    unittest.main()
