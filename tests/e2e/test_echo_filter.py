"""The raw echo socket's filter: where ping sockets are denied, the program's
raw ICMP socket keeps only its own echo replies and the unreachable reports
quoting its own requests, and the kernel drops the rest of the namespace's
ICMP traffic before it ever wakes the program. A report quoting the probe's
own request ends the probe at once, whoever sent it."""
import json
import os
import select
import subprocess
import sys
import unittest

import harness
import netbed
from harness import ScratchCase
from netbed import NetBed, NO_HOST_IP, PRINTER_IP

HERE = os.path.dirname(os.path.abspath(__file__))
INJECT = os.path.join(HERE, "echo_inject.py")
REPORT = os.path.join(HERE, "echo_report.py")
# A dead printer on a network of its own, behind the printer's namespace,
# which stands in for its router.
BEHIND_ROUTER_NET = "198.18.1.0/24"
BEHIND_ROUTER_IP = "198.18.1.9"

_skip = netbed.available() or ("the filter is the Linux program's" if harness.WINE else None)


def configure(command):
    subprocess.run(command, check=True, capture_output=True, timeout=20)


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

    def test_report_ends_only_its_own_probe(self):
        bed = NetBed(self)
        bundle = self.bundle([("job.txt", b"job\n")])
        configure(["ip", "-n", bed.tool_ns, "route", "add", BEHIND_ROUTER_NET, "via", PRINTER_IP])
        configure(["ip", "-n", bed.printer_ns, "addr", "add", BEHIND_ROUTER_IP + "/32", "dev", "lo"])
        # The kernel there answers no echo request: only the crafted reports do.
        configure(["ip", "netns", "exec", bed.printer_ns, "sysctl", "-qw", "net.ipv4.icmp_echo_ignore_all=1"])
        router = subprocess.Popen(["ip", "netns", "exec", bed.printer_ns, sys.executable, REPORT, BEHIND_ROUTER_IP,
                                   PRINTER_IP], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(router.communicate, timeout=10)
        self.addCleanup(router.kill)
        ready, _, _ = select.select([router.stdout], [], [], 60)
        self.assertTrue(ready, "the router did not start within a minute")
        self.assertEqual(os.read(router.stdout.fileno(), 6), b"ready\n")
        # Mode j probes up to 120 times, one second apart.
        program = subprocess.Popen(["ip", "netns", "exec", bed.tool_ns, bundle, "-d", "-m", "j", "-n",
                                    BEHIND_ROUTER_IP], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   cwd=self.dir)
        self.addCleanup(program.wait, timeout=10)
        self.addCleanup(program.kill)
        said, complaint = router.communicate(timeout=120)
        self.assertEqual(router.returncode, 0, complaint.decode())
        self.assertEqual(json.loads(said), {
            "own request, reported by the router": True,
            "own request, reported by the printer": True,
            "own identifier, another destination": False,
            "another program's request to the printer": False,
        })

if __name__ == "__main__":
    unittest.main()
