"""A printer that stops taking data in the middle of an image: its window
closes and stays closed. The send gives up once nothing has moved for 60
seconds, says why, and the printer holds what it read before it stopped.

The run waits out those 60 seconds, so this module has a test of its own.
"""
import unittest

import netbed
from downloads import run_all
from netbed import PRINTER_IP

STALL_AFTER = 100000
# The printer stops reading after 100000 bytes, behind a small receive
# buffer; the tool's send buffer is small too, so the window is closed long
# before the 4 MiB are out.
STALLING = ["--raw-stall-after", str(STALL_AFTER), "--raw-rcvbuf", "8192"]
SMALL_SEND_BUFFER = {"tool_sysctls": ["net.ipv4.tcp_wmem=4096 16384 65536"]}
FAILED = "\nError: Could not send data to print socket\n       The printer took no data for 60 seconds\n"

_skip = netbed.available()


def image():
    return bytes((i * 31 + i // 251) % 256 for i in range(4 << 20))


@unittest.skipIf(_skip, _skip or "")
class StalledPrinter(unittest.TestCase):
    def test_send_ends_sixty_seconds_after_the_printer_stopped(self):
        data = image()
        cases = {"plain": [], "debug": ["-d"]}
        jobs = [([], args + ["-m", "i", "-n", PRINTER_IP], STALLING, ("image.bin", data), SMALL_SEND_BUFFER)
                for args in cases.values()]
        for name, outcome in zip(cases, run_all(jobs)):
            with self.subTest(name):
                if outcome.error is not None:
                    raise outcome.error
                result = outcome.result
                self.assertEqual(result.status, 1, result)
                self.assertEqual(result.stderr, "")
                if name == "plain":
                    self.assertEqual(result.stdout, "\nSending data to printer\n" + FAILED)
                else:
                    self.assertRegex(result.stdout, r"\A#+" + FAILED + r"f\n\Z")
                    # Mid-image: a few chunks went, far from the 512 of the whole.
                    self.assertLess(result.stdout.count("#"), 64)
                # The printer kept the beginning of the image and nothing else.
                self.assertEqual(len(outcome.jobs), 1)
                self.assertTrue(outcome.jobs[0] == data[:STALL_AFTER],
                                f"the printer holds {len(outcome.jobs[0])} bytes, not the first {STALL_AFTER}")
                (stall,) = [e for e in outcome.events if e["event"] == "raw-stall"]
                waited = outcome.ended - stall["at"]
                self.assertGreaterEqual(waited, 60)
                self.assertLess(waited, 70)


if __name__ == "__main__":
    unittest.main()
