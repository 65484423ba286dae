"""Printers that misbehave in ways the sequence must survive with a clear
message: a flooding console, a name that resolves to the broadcast address,
a print port that resets at once, echo answers that start late."""
import subprocess
import sys
import unittest

import harness
import netbed
from downloads import ORDINARY, Scratch, run_all
from netbed import NetBed, PRINTER_IP

FLOOD = 100 * 1000 * 1000
# Runs a program and writes its peak resident size (KiB) to a file.
MEASURE = ("import resource, subprocess, sys\n"
           "done = subprocess.run(sys.argv[2:], stdout=subprocess.PIPE, stderr=subprocess.PIPE)\n"
           "open(sys.argv[1], 'w').write(str(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss))\n"
           "sys.stdout.buffer.write(done.stdout)\n"
           "sys.exit(done.returncode)\n")

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
            # Two probes go unanswered (5 s each and a second's pause), the
            # third is answered.
            "echo answered only after a while": (
                ORDINARY[:1], ["-d", "-m", "j", "-n", PRINTER_IP], ["--echo-silent-first", "8"], None, {},
                0, "ppp###s\n"),
        }
        outcomes = run_all([case[:5] for case in cases.values()])
        for (name, case), outcome in zip(cases.items(), outcomes):
            with self.subTest(name):
                result = self.outcome(outcome)
                self.assertEqual(result.status, case[5], result)
                self.assertRegex(result.stdout, "\\A" + case[6] + "\\Z")

    @unittest.skipIf(harness.WINE, "a byte at a time through Wine's server would take an hour")
    def test_console_flood_keeps_memory_bounded(self):
        scratch = Scratch()
        self.addCleanup(scratch.close)
        harness.make_bundle(scratch.path("bundle.exe"), [])
        bed = NetBed(scratch, ["--flood-bytes", str(FLOOD)])
        peak_file = scratch.path("peak")
        command = ["ip", "netns", "exec", bed.tool_ns, sys.executable, "-c", MEASURE, peak_file,
                   scratch.path("bundle.exe"), "-d", "-m", "k", "-n", PRINTER_IP]
        done = subprocess.run(command, cwd=scratch.dir, capture_output=True, timeout=900)
        # The wait goes on while bytes come, and gives up 5 s after the last.
        self.assertEqual(done.returncode, 1, done)
        self.assertRegex(done.stdout.decode("latin-1"),
                         r"\Apttrecv failed: \d+\nError: Did not get telnet login prompt\n"
                         r"\nError: Could not get lpstat\nf\n\Z")
        self.assertEqual(bed.events("flooded"), [{"event": "flooded", "size": FLOOD}])
        with open(peak_file) as f:
            peak_kib = int(f.read())
        # Well below the flood, with room for a sanitizer build's own needs.
        self.assertLess(peak_kib, 48 * 1024, "peak resident memory while flooded")


if __name__ == "__main__":
    unittest.main()
