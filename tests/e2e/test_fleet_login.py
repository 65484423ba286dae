"""What holm-fleet takes from a printer's IPP answer. A printer that wants a
login for IPP is never given one: nothing asks for it on the operator's
terminal, the printer gets nothing but the refused requests and fails
("the printer wants a login") within the read's bound, while the rest of
the run goes on. Overlong values a printer reports are cut before they
reach the records. A name is looked up for IPv4 only."""
import fcntl
import json
import os
import pty
import re
import select
import signal
import subprocess
import sys
import termios
import time
import unittest

import harness
import fleetbed
from downloads import FIRMWARE, Scratch
from fleet import FLEET, PACK_DIR, make_bundle, summary
from fleetbed import Printer, address

OLD, NEW = "1.0", "2.0"
MODEL = "HOLM Laser 5100"
TAKES_NEW = ["--model", MODEL, "--firmware", f"main={OLD}", "--installs", f"main={NEW}"]
LOGIN_PASSWORD = "Ipp-login-pw-7"
WANTS_LOGIN, OPEN, VERBOSE = range(3)
# Near the most the IPP library reads of one value (32 KiB); the model's
# two-byte characters start at an odd offset, so that a cut at 400 bytes
# falls inside one.
LONG_MODEL = MODEL + " x" + "\u00e9" * 16000
LONG_VERSION = "3." + "9" * 32000
KEPT = 400
# The read's bound is 15 seconds: a run that waits on a prompt takes the
# test's whole time.
BOUND = 30
# Counts the connections to port 631 of ::1.
LISTENER = """
import socket
s = socket.socket(socket.AF_INET6)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("::1", 631))
s.listen()
print("ready", flush=True)
while True:
    s.accept()[0].close()
    print("connected", flush=True)
"""
_skip = fleetbed.available() or ("holm-fleet runs Linux bundles" if harness.WINE else None)


def on_terminal(bed, args, cwd, timeout=120):
    """holm-fleet with args in the bed's tool namespace, a pseudo-terminal
    its controlling terminal (/dev/tty), stdin, stdout and stderr: (exit
    status, what the terminal showed with line ends as \\n, seconds)."""
    tmp = os.path.join(cwd, "tmp")
    os.makedirs(tmp, exist_ok=True)
    env = dict(os.environ, TMPDIR=tmp, PATH=PACK_DIR + os.pathsep + os.environ["PATH"])
    master, slave = pty.openpty()

    def take_terminal():
        # In the child, its own session already, the pty on fd 0.
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)

    started = time.monotonic()
    try:
        process = bed.popen([FLEET] + list(args), cwd=cwd, env=env, stdin=slave, stdout=slave, stderr=slave,
                            start_new_session=True, preexec_fn=take_terminal)
    finally:
        os.close(slave)
    shown = bytearray()
    try:
        while time.monotonic() - started < timeout:
            if not select.select([master], [], [], 0.5)[0]:
                continue
            try:
                data = os.read(master, 65536)
            except OSError:  # EIO: no one holds the terminal any more
                break
            if not data:
                break
            shown += data
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
        status = process.wait(timeout=30)
        os.close(master)
    return status, shown.decode("utf-8", "replace").replace("\r\n", "\n"), time.monotonic() - started


@unittest.skipIf(_skip, _skip or "")
class Answers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = Scratch()
        cls.addClassCleanup(cls.scratch.close)
        cls.dir = cls.scratch.dir
        cls.image = FIRMWARE[0][1]
        make_bundle(cls.scratch.path("fw-update.exe"), FIRMWARE[:1])
        make_bundle(cls.scratch.path("for-laser.exe"), FIRMWARE[:1], ["--for", "HOLM Laser 5*"])
        with open(cls.scratch.path("printers.txt"), "w") as f:
            f.write(f"{address(WANTS_LOGIN)}\n{address(OPEN)}\n")
        cls.bed = fleetbed.FleetBed(cls.scratch, [
            Printer(TAKES_NEW + ["--ipp-login", "admin:" + LOGIN_PASSWORD]),
            Printer(TAKES_NEW),
            Printer(["--model", LONG_MODEL, "--firmware", "main=" + LONG_VERSION])])

    def events(self, i):
        return self.bed.printers[i].events()

    def assertOnlyRefusedIpp(self, before):
        """Since before, the printer that wants a login saw IPP requests,
        each refused, and nothing else."""
        seen = self.events(WANTS_LOGIN)[len(before):]
        self.assertNotEqual(seen, [])
        self.assertEqual({(e["event"], e["status"]) for e in seen}, {("ipp", 401)}, seen)

    def test_read_of_a_printer_that_wants_a_login(self):
        login = "no IPP answer (the printer wants a login)"
        for args, message in (
                (["--firmware", NEW], "no firmware version before the delivery: " + login),
                (["for-laser.exe"], "no printer model before the delivery: " + login)):
            with self.subTest(args=args):
                before = self.events(WANTS_LOGIN)
                status, shown, seconds = on_terminal(self.bed, ["--read", "before"] + args + [address(WANTS_LOGIN)],
                                                     self.dir)
                self.assertNotIn("Password", shown)
                self.assertLess(seconds, BOUND, shown)
                self.assertEqual((status, json.loads(shown)), (1, {
                    "address": address(WANTS_LOGIN), "when": "before", "result": "failed", "message": message,
                    "version": "", "model": "", "bundle": ""}))
                self.assertOnlyRefusedIpp(before)

    def test_run_with_a_printer_that_wants_a_login(self):
        login = "no IPP answer (the printer wants a login)"
        for args, counts, message in (
                (["--firmware", f"main={NEW}", "fw-update.exe"], "1 ok, 0 current, 1 failed",
                 "no firmware version before the delivery: " + login),
                (["for-laser.exe"], "1 ok, 1 failed", "no printer model before the delivery: " + login)):
            with self.subTest(args=args):
                out = self.scratch.path("run-%d.out" % len(os.listdir(self.dir)))
                before = self.events(WANTS_LOGIN)
                jobs = self.bed.printers[OPEN].raw_jobs()
                status, shown, seconds = on_terminal(self.bed, ["-o", out] + args + ["printers.txt"], self.dir)
                self.assertNotIn("Password", shown)
                # The other printer's delivery and restart take most of it.
                self.assertLess(seconds, 60, shown)
                self.assertEqual(status, 1, shown)
                self.assertRegex(shown, re.escape(f"2 printers: {counts}\n  {address(WANTS_LOGIN)}  {message}\n"
                                                  f"Records: {out}/summary.tsv\n") + "$")
                rows = summary(out)[1:]
                self.assertEqual([r[:2] + r[3:4] for r in rows],
                                 [[address(WANTS_LOGIN), "failed", message], [address(OPEN), "ok", ""]])
                self.assertLess(float(rows[0][2]), 15)
                self.assertOnlyRefusedIpp(before)
                self.assertEqual(self.bed.printers[OPEN].raw_jobs(), jobs + [self.image])

    def test_names_lead_to_ipv4_only(self):
        with open(os.path.join(self.bed.etc, "hosts"), "a") as f:
            f.write("::1 six.test\n")
        listener = self.bed.popen([sys.executable, "-c", LISTENER], stdout=subprocess.PIPE)
        self.addCleanup(listener.stdout.close)
        self.addCleanup(listener.wait, 30)
        self.addCleanup(listener.kill)
        self.assertEqual(listener.stdout.readline(), b"ready\n")

        def read(name):
            done = self.bed.run([FLEET, "--read", "before", "--firmware", NEW, name], cwd=self.dir, timeout=60)
            return done.returncode, json.loads(done.stdout)

        status, said = read("six.test")
        self.assertEqual((status, said["result"]), (1, "failed"))
        # The name is looked up once, for IPv4 alone (glibc's files answer
        # the loopback's IPv4 address for ::1): never the IPv6 listener.
        self.assertRegex(said["message"], r'^(cannot look up six\.test: .+|no firmware version before the delivery: '
                                          r'no IPP answer \(Unable to connect to "[0-9.]+" on port 631 - .+\))$')
        status, said = read(f"printer{VERBOSE}.test")
        self.assertEqual((status, said["result"], said["version"]), (0, "to deliver", LONG_VERSION[:KEPT]))
        listener.kill()
        self.assertEqual(listener.stdout.read(), b"")

    def test_overlong_values_are_cut(self):
        kept_model = LONG_MODEL.encode()[:KEPT - 1].decode()
        done = self.bed.run([FLEET, "--read", "before", "--firmware", NEW, "for-laser.exe", address(VERBOSE)],
                            cwd=self.dir, timeout=60)
        said = json.loads(done.stdout)
        self.assertEqual((done.returncode, said["result"]), (0, "to deliver"), done)
        self.assertEqual((said["model"], said["version"]), (kept_model, LONG_VERSION[:KEPT]))
        # A plan keeps the version read in the records and in the report.
        out = self.scratch.path("plan.out")
        done = self.bed.run([FLEET, "--plan", "--firmware", NEW, "-o", out, "for-laser.exe", "-"], cwd=self.dir,
                            input=f"{address(VERBOSE)}\n".encode(), timeout=60)
        self.assertEqual(done.returncode, 0, done)
        self.assertEqual(summary(out)[1][4], LONG_VERSION[:KEPT])
        with open(os.path.join(out, "printers", address(VERBOSE), "model"), encoding="utf-8") as f:
            self.assertEqual(f.read(), kept_model + "\n")
        with open(os.path.join(out, "report.html"), "rb") as f:
            page = f.read()
        self.assertIn(LONG_VERSION[:KEPT].encode(), page)
        self.assertNotIn(LONG_VERSION[:KEPT + 1].encode(), page)


if __name__ == "__main__":
    unittest.main()
