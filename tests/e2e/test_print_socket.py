"""The end of a print-port stream: a printer that talks back, resets or
never closes must neither lose the data's end nor hide a failure."""
import unittest

import netbed
from downloads import FIRMWARE, describe, run_all
from netbed import PRINTER_IP

SIZES = [0, 8191, 8192, 8193, 1 << 20]
# A printer that answers status while it reads slowly through a small
# window, so the end of the data still waits in the tool's send buffer when
# the upload is over.
TALKING = ["--talk-back", "300", "--read-delay-ms", "2", "--raw-rcvbuf", "8192"]
# A small send buffer on the tool's side, so a reset half way through meets
# the tool still sending.
SMALL_SEND_BUFFER = {"tool_sysctls": ["net.ipv4.tcp_wmem=4096 16384 65536"]}

_skip = netbed.available()


def data_of(size):
    return bytes((i * 31 + 7) % 256 for i in range(size))


@unittest.skipIf(_skip, _skip or "")
class PrintSocketEnd(unittest.TestCase):
    def outcome(self, outcome):
        if outcome.error is not None:
            raise outcome.error
        return outcome

    def test_talking_printer_gets_every_byte(self):
        jobs = [([("job.prn", data_of(size))], ["-d", "-m", "i", "-n", PRINTER_IP], TALKING)
                for size in SIZES]
        for size, outcome in zip(SIZES, run_all(jobs)):
            with self.subTest(size=size):
                outcome = self.outcome(outcome)
                chunks = max(1, -(-size // 8192))
                self.assertEqual((outcome.result.status, outcome.result.stdout, outcome.result.stderr),
                                 (0, "#" * chunks + "s\n", ""))
                self.assertEqual(describe(outcome.jobs), describe([data_of(size)]))

    def test_reset_half_way_is_a_failure(self):
        size = 1 << 20
        sim = TALKING + ["--raw-reset-after", str(size // 2)]
        (outcome,) = run_all([([], ["-d", "-m", "i", "-n", PRINTER_IP], sim, ("job.prn", data_of(size)),
                               SMALL_SEND_BUFFER)])
        outcome = self.outcome(outcome)
        self.assertEqual(outcome.result.status, 1, outcome.result)
        self.assertRegex(outcome.result.stdout, r"\A#+\nError: Could not send data to print socket\nf\n\Z")
        self.assertLess(outcome.result.stdout.count("#"), 128)

    def test_printer_that_never_closes(self):
        # Silent after the upload, or talking on: either way the run goes on
        # and the restart wait follows.
        cases = {"silent": ["--hold-open", "8"], "talking": ["--hold-open", "120", "--chatter"]}
        jobs = [(FIRMWARE[:1], ["-d", "-n", PRINTER_IP], sim) for sim in cases.values()]
        for name, outcome in zip(cases, run_all(jobs)):
            with self.subTest(name):
                outcome = self.outcome(outcome)
                self.assertEqual(outcome.result.status, 0, outcome.result)
                self.assertRegex(outcome.result.stdout, r"\Ap" + "t" * 7 + "w" * 5 + "p" + "t" * 7
                                 + r"###p+wwp+s\n\Z")
                self.assertEqual(describe(outcome.jobs), describe([FIRMWARE[0][1]]))
        # The talking printer keeps the tool reading until the 30 s bound;
        # it notices the tool has gone at its next line.
        (gone,) = [e for e in outcome.events if e["event"] == "raw-peer-gone"]
        self.assertGreaterEqual(gone["after"], 29)
        self.assertLessEqual(gone["after"], 36)


if __name__ == "__main__":
    unittest.main()
