"""A console that floods 100 MB without ever sending its login prompt.

The program reads the console a byte at a time, so this takes minutes
natively (and would take an hour through Wine's server): a test of its own.
"""
import subprocess
import sys
import unittest

import harness
import netbed
from downloads import Scratch
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
class ConsoleFlood(unittest.TestCase):
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
