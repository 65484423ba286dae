"""The raw echo socket's filter: where ping sockets are denied, the program's
raw ICMP socket keeps only its own echo replies and the unreachable reports
quoting its own requests, and the kernel drops the rest of the namespace's
ICMP traffic before it ever wakes the program."""
import json
import os
import select
import subprocess
import sys
import unittest

import harness
import netbed
from harness import ScratchCase
from netbed import NetBed, NO_HOST_IP

INJECT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "echo_inject.py")

_skip = netbed.available() or ("the filter is the Linux program's" if harness.WINE else None)


@unittest.skipIf(_skip, _skip or "")
class EchoFilter(ScratchCase):
    def test_only_own_replies_reach_the_socket(self):
        bed = NetBed(self)
        bundle = self.bundle([("job.txt", b"job\n")])
        # Mode j probes up to 120 times, one second apart; towards a host that
        # is routed nowhere every request fails at once, so the program sleeps
        # and never reads its socket: what the filter keeps stays queued.
        program = subprocess.Popen(["ip", "netns", "exec", bed.tool_ns, bundle, "-d", "-m", "j", "-n", NO_HOST_IP],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=self.dir)
        self.addCleanup(program.communicate, timeout=10)
        self.addCleanup(program.kill)
        ready, _, _ = select.select([program.stdout], [], [], 60)
        self.assertTrue(ready, "no probe within a minute")
        self.assertEqual(os.read(program.stdout.fileno(), 1), b"p")
        done = subprocess.run(["ip", "netns", "exec", bed.tool_ns, sys.executable, INJECT, str(program.pid)],
                              capture_output=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr.decode())
        self.assertEqual(json.loads(done.stdout), {
            "own reply": True,
            "other reply": False,
            "own reply behind IP options": True,
            "unreachable quoting own request": True,
            "unreachable quoting own request with IP options": True,
            "unreachable quoting other request": False,
            "unreachable quoting own identifier in a timestamp request": False,
        })
        self.assertIsNone(program.poll(), "the program ended while its socket was looked at")


if __name__ == "__main__":
    unittest.main()
