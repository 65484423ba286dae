"""holm-fleet keeps its promises under faults: a run killed with SIGKILL
is finished by --retry-failed, which waits for the killed run's bundles and
gives no printer its image twice; a new run does not overwrite the killed
run's records; a bundle that runs too long is ended by --timeout; a brake
that holds while reads are in flight gives those printers nothing; a canary
counts only the printers the bundle goes to."""
import os
import signal
import subprocess
import time
import unittest

import harness
import fleetbed
from downloads import FIRMWARE, ORDINARY, Scratch
from fleet import FLEET, PACK_DIR, files_under, make_bundle, run_fleet, summary
from fleetbed import Printer, address

OLD, NEW = "1.0", "2.0"
TAKES_NEW = ["--firmware", f"main={OLD}", "--installs", f"main={NEW}"]
WRONG_LOGIN = ["--password", "not-given"]  # the list gives no password: the login fails
IMAGE = FIRMWARE[0][1]
FOR = "HOLM Laser 5*"
LASER, INKJET = "HOLM Laser 5100", "HOLM Inkjet 200"

# Printers 0-3: the killed run, 1 taking its image slowly; 4: a print port
# held open; 5-8: the brake (5 fails at once, 6-8 answer IPP late);
# 9-13: the canary (9, 10 of another model, 11 fails, 12, 13 fit).
KILLED = range(4)
SLOW = 1
HELD = 4
FAILS_FAST, LATE = 5, (6, 7, 8)
OTHERS, CANARY, AFTER_CANARY = (9, 10), 11, (12, 13)
SPECS = ([Printer(TAKES_NEW), Printer(TAKES_NEW + ["--read-delay-ms", "400"]), Printer(TAKES_NEW),
          Printer(TAKES_NEW)]
         + [Printer(["--hold-open", "60", "--chatter"])]
         + [Printer(TAKES_NEW + WRONG_LOGIN)] + [Printer(TAKES_NEW + ["--ipp-delay", "10"]) for _ in LATE]
         + [Printer(["--model", INKJET]) for _ in OTHERS] + [Printer(["--model", LASER] + WRONG_LOGIN)]
         + [Printer(["--model", LASER]) for _ in AFTER_CANARY])

_skip = fleetbed.available() or ("holm-fleet runs Linux bundles" if harness.WINE else None)


@unittest.skipIf(_skip, _skip or "")
class Faults(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = Scratch()
        cls.addClassCleanup(cls.scratch.close)
        make_bundle(cls.scratch.path("fw-update.exe"), FIRMWARE[:1])
        make_bundle(cls.scratch.path("for-5.exe"), FIRMWARE[:1], ["--for", FOR])
        make_bundle(cls.scratch.path("job.exe"), ORDINARY[:1])
        cls.bed = fleetbed.FleetBed(cls.scratch, SPECS)

    def lines(self, printers):
        return "".join(f"{address(i)}\n" for i in printers).encode()

    def fleet(self, args, printers, **kwargs):
        return run_fleet(self.bed, args + ["-"], self.scratch.dir, stdin=self.lines(printers), **kwargs)

    def contacts(self, i, since=0):
        """What printer i saw but IPP requests, since its event number since."""
        return [e["event"] for e in self.bed.printers[i].events()[since:] if e["event"] != "ipp"]

    def test_killed_run_is_finished_by_a_retry_with_each_image_once(self):
        out = self.scratch.path("killed-out")
        args = ["-j", "2", "--firmware", f"main={NEW}", "-o", out, "fw-update.exe", "-"]
        env = dict(os.environ, TMPDIR=self.scratch.path("tmp"), PATH=PACK_DIR + os.pathsep + os.environ["PATH"])
        os.makedirs(env["TMPDIR"], exist_ok=True)
        fleet = self.bed.popen([FLEET] + args, cwd=self.scratch.dir, env=env, stdin=subprocess.PIPE,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        # The bundles outlive holm-fleet: the group goes when the test does.
        self.addCleanup(lambda: os.killpg(fleet.pid, signal.SIGKILL) if _group_alive(fleet.pid) else None)
        fleet.stdin.write(self.lines(KILLED))
        fleet.stdin.close()
        slow = self.bed.printers[SLOW]
        deadline = time.monotonic() + 120
        while not slow.events("raw-open") and time.monotonic() < deadline and fleet.poll() is None:
            time.sleep(0.05)
        self.assertTrue(slow.events("raw-open"), "the slow printer's image never began")
        # Holm-fleet alone dies, mid-image: its bundles go on.
        os.kill(fleet.pid, signal.SIGKILL)
        fleet.wait(timeout=30)
        rows = summary(out)
        self.assertEqual([r[0] for r in rows[1:]], [address(i) for i in KILLED])
        self.assertIn(rows[1 + SLOW][1], ("running",))

        # A new run does not touch the killed run's records.
        kept = files_under(out)
        run = self.fleet(args[:-1], KILLED)
        self.assertEqual((run.status, run.stdout), (2, ""), run)
        self.assertEqual(run.stderr, f"holm-fleet: {out} holds the records of an earlier run (summary.tsv): "
                                     "--retry-failed goes on with it; to start over, give another -o DIR or "
                                     "remove this one\n")
        self.assertEqual(files_under(out), kept)

        # The retry waits for the killed run's bundles, then finds the
        # printers they flashed current: none is given its image twice.
        run = self.fleet(["--retry-failed"] + args[:-1], KILLED, timeout=300)
        self.assertEqual(run.status, 0, run)
        self.assertRegex(run.stderr, r"^holm-fleet: waiting for [12] bundles? of the last run, still running for ")
        self.assertRegex(run.stdout, r"^4 printers: [0-4] ok, [0-4] current, 0 failed\n")
        self.assertEqual({r[1] for r in summary(out)[1:]} - {"ok", "current"}, set())
        for i in KILLED:
            self.assertEqual(self.bed.printers[i].raw_jobs(), [IMAGE], i)
        # The killed run's private folder went once its bundles had ended.
        self.assertEqual(os.listdir(self.scratch.path("tmp")), [])

    def test_bundle_running_too_long_is_ended(self):
        out = self.scratch.path("timeout-out")
        run = self.fleet(["--timeout", "3s", "-o", out, "job.exe"], [HELD])
        self.assertEqual((run.status, run.stderr), (1, ""), run)
        self.assertEqual(run.stdout, f"1 printer: 0 ok, 1 failed\n  {address(HELD)}  timed out after 3s\n"
                                     f"Records: {out}/summary.tsv\n")
        self.assertLess(run.seconds, 20)
        with open(os.path.join(out, "printers", address(HELD), "status")) as f:
            self.assertIn(f.read(), ("143\n", "137\n"))
        run = self.fleet(["--timeout", "0", "-o", self.scratch.path("bad-timeout"), "job.exe"], [HELD])
        self.assertEqual((run.status, run.stderr),
                         (2, "holm-fleet: bad --timeout: 0 (seconds, or minutes or hours: 90, 90s, 10m, 2h; "
                             "a week at most)\n"))

    def test_brake_gives_nothing_to_printers_whose_read_was_in_flight(self):
        out = self.scratch.path("brake-out")
        since = {i: len(self.bed.printers[i].events()) for i in LATE}
        run = self.fleet(["-j", "4", "--max-failed", "1", "--firmware", f"main={NEW}", "-o", out, "fw-update.exe"],
                         (FAILS_FAST,) + LATE)
        self.assertEqual((run.status, run.stderr), (1, ""), run)
        self.assertEqual([r[1] for r in summary(out)[1:]], ["failed"] + ["not started"] * 3)
        self.assertRegex(run.stdout, r"\nStopped by --max-failed 1: 1 of 1 finished printers failed\n")
        for i in LATE:
            self.assertEqual(self.contacts(i, since[i]), [], i)
            self.assertFalse(os.path.exists(os.path.join(out, "printers", address(i))))
        # The retry runs them: their answers are slow, not wrong.
        self.assertEqual(self.bed.printers[LATE[0]].raw_jobs(), [])

    def test_canary_is_the_first_printers_the_bundle_goes_to(self):
        out = self.scratch.path("canary-out")
        since = {i: len(self.bed.printers[i].events()) for i in AFTER_CANARY}
        run = self.fleet(["-j", "8", "--canary", "1", "-o", out, "for-5.exe"], OTHERS + (CANARY,) + AFTER_CANARY)
        self.assertEqual((run.status, run.stderr), (1, ""), run)
        self.assertEqual([r[1] for r in summary(out)[1:]],
                         ["incompatible", "incompatible", "failed", "not started", "not started"])
        self.assertRegex(run.stdout, r"\nStopped after the canary: not all of the first 1 printers ended ok\n")
        for i in AFTER_CANARY:
            self.assertEqual(self.contacts(i, since[i]), [], i)


def _group_alive(pgid):
    try:
        os.killpg(pgid, 0)
        return True
    except ProcessLookupError:
        return False


if __name__ == "__main__":
    unittest.main()
