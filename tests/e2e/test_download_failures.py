"""Network downloads that the printer makes fail, and restarts at the edge."""
import unittest

import harness
import netbed
from downloads import FIRMWARE, ORDINARY, describe, run_all
from netbed import NO_HOST_IP, PRINTER_IP

LOGIN = "t" * 6
REFUSED = 10061 if harness.WINE else 111
PRINTER_HEX = "050012c6"  # 198.18.0.5 as the program prints it
ENTER = LOGIN + "t" + "w" * 5
CHECK = "p" + LOGIN + "t"
NOT_ENTERED = ("\nError: Could not enter download mode.\n"
               "       Make sure that the telnet user name\n"
               "       and password are correct.\n"
               "       Automatic network downloading may not\n"
               "       work with older printer software.\n")
NOT_IN_MODE = ("\nError: Not in download mode\n"
               "       Make sure that the printer supports\n"
               "       the telnet 'debug printer download'\n"
               "       command.\n")
BIG = bytes(i % 253 for i in range(32 << 20))

_skip = netbed.available()

# name: (entries, args, sim args, named file, bed options, status, stdout pattern)
CASES = {
    "printer never answers": (
        FIRMWARE[:1], ["-n", NO_HOST_IP], [], None, {},
        1, "p{120}\nError: Destination not alive\nf\n"),
    "console refused": (
        FIRMWARE[:1], ["-n", PRINTER_IP], ["--telnet-port", "2323"], None, {},
        1, f"pt" f"Socket error for network addr {PRINTER_HEX}: {REFUSED}\n"
           "Error: Could not open telnet socket\n" + NOT_ENTERED.replace(".", "\\.") + "f\n"),
    "download mode never entered": (
        FIRMWARE[:1], ["-n", PRINTER_IP], ["--ignore-download"], None, {},
        1, "p" + ENTER + CHECK + "recv failed: \\d+\nError: Did not start printer download\n"
           + NOT_IN_MODE.replace(".", "\\.") + "f\n"),
    "print port refused": (
        ORDINARY[:1], ["-m", "j", "-n", PRINTER_IP], ["--raw-port", "9101"], None, {},
        1, f"pSocket error for network addr {PRINTER_HEX}: {REFUSED}\n"
           "\nError: Could not open print socket\nf\n"),
    "print port closed during the send": (
        [], ["-m", "i", "-n", PRINTER_IP], ["--raw-close-after", "65536"], ("big.prn", BIG), {},
        1, "#+\nError: Could not send data to print socket\nf\n"),
    "down at the first restart probe": (
        FIRMWARE[:1], ["-n", PRINTER_IP], ["--silent-after-check"], None, {},
        0, "p" + ENTER + CHECK + "###pwwp+s\n"),
    "never comes back": (
        FIRMWARE[:1], ["-n", PRINTER_IP], ["--never-come-back"], None, {"down_unreachable": True},
        1, "p" + ENTER + CHECK + "###p+wwp{300}\nError: Destination not alive\nf\n"),
}


@unittest.skipIf(_skip, _skip or "")
class Failures(unittest.TestCase):
    def test_failures(self):
        names = list(CASES)
        jobs = []
        for name in names:
            entries, args, sim_args, named, bed_kw, _, _ = CASES[name]
            jobs.append((entries, ["-d"] + args, sim_args, named, bed_kw))
        for name, outcome in zip(names, run_all(jobs)):
            with self.subTest(name):
                if outcome.error is not None:
                    raise outcome.error
                status, pattern = CASES[name][5:]
                self.assertEqual(outcome.result.status, status, outcome.result)
                self.assertRegex(outcome.result.stdout, "\\A" + pattern + "\\Z")
                self.assertEqual(outcome.result.stderr, "")
                self.check_printer(name, outcome)

    def check_printer(self, name, outcome):
        if name == "printer never answers" or name == "console refused":
            self.assertEqual((outcome.commands, outcome.opens), ([], 0))
        elif name == "download mode never entered":
            self.assertEqual((outcome.commands, outcome.opens),
                             (["debug printer download", "lpstat"], 0))
        elif name == "print port closed during the send":
            self.assertEqual(outcome.opens, 1)
        elif name in ("down at the first restart probe", "never comes back"):
            self.assertEqual(describe(outcome.jobs), describe([FIRMWARE[0][1]]))


if __name__ == "__main__":
    unittest.main()
