"""Printers that misbehave in ways the sequence must survive with a clear
message: a name that resolves to the broadcast address, a print port that
resets at once, echo answers that start late."""
import unittest

import netbed
from downloads import ORDINARY, run_all
from netbed import PRINTER_IP

_skip = netbed.available()


@unittest.skipIf(_skip, _skip or "")
class PrinterFaults(unittest.TestCase):
    def outcome(self, outcome):
        if outcome.error is not None:
            raise outcome.error
        return outcome.result

    def test_quick_faults(self):
        big = bytes(i % 251 for i in range(4 << 20))
        cases = {
            "name resolves to 255.255.255.255": (
                [], ["-d", "-m", "g", "-n", "broadcast.test"], [], None, {},
                1, "\nError: Unknown IP address\nf\n"),
            "print port resets at once": (
                [], ["-d", "-m", "i", "-n", PRINTER_IP], ["--raw-reset-after", "1"], ("big.prn", big),
                {"tool_sysctls": ["net.ipv4.tcp_wmem=4096 16384 65536"]},
                1, "#*\nError: Could not send data to print socket\nf\n"),
            # The first probes go unanswered (5 s each and a second's
            # pause; how many depends on how fast the program starts), a
            # later one is answered and the run carries on.
            "echo answered only after a while": (
                ORDINARY[:1], ["-d", "-m", "j", "-n", PRINTER_IP], ["--echo-silent-first", "8"], None, {},
                0, "pp+###s\n"),
        }
        outcomes = run_all([case[:5] for case in cases.values()])
        for (name, case), outcome in zip(cases.items(), outcomes):
            with self.subTest(name):
                result = self.outcome(outcome)
                self.assertEqual(result.status, case[5], result)
                self.assertRegex(result.stdout, "\\A" + case[6] + "\\Z")


if __name__ == "__main__":
    unittest.main()
