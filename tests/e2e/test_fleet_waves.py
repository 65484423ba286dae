"""holm-fleet's rollout in steps: waves that stop at a failure, a pause
between waves, and a maintenance window that holds the first start until it
opens and stops new starts when it closes, after which a retry finishes the
run. Quick runs (-d -m l, the console's check) against six printers, one of
them still booting (its check fails) and one whose console never answers
(it holds a run for about five seconds)."""
import datetime
import os
import re
import unittest

import harness
import fleetbed
from downloads import FIRMWARE, Scratch
from fleet import make_bundle, run_fleet, summary
from fleetbed import Printer, address

BOOTING, SILENT = 2, 5
_skip = fleetbed.available() or ("holm-fleet runs Linux bundles" if harness.WINE else None)


def joblog(out):
    """{address: (start, end)} of every run of the bundle, from the joblog,
    in seconds to the millisecond."""
    with open(os.path.join(out, "joblog")) as f:
        lines = [line.rstrip("\n").split("\t") for line in f][1:]
    ms = [(line[-1].split()[-1], round(float(line[2]) * 1000), round(float(line[3]) * 1000)) for line in lines]
    return {address: (start / 1000, (start + took) / 1000) for address, start, took in ms}


def clock(offset):
    """The local time of day offset seconds from now, as --window takes it."""
    return (datetime.datetime.now() + datetime.timedelta(seconds=offset)).strftime("%H:%M:%S")


@unittest.skipIf(_skip, _skip or "")
class Rollout(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = Scratch()
        cls.addClassCleanup(cls.scratch.close)
        make_bundle(cls.scratch.path("fw-update.exe"), FIRMWARE[:1])
        specs = [Printer() for _ in range(6)]
        specs[BOOTING] = Printer(["--booting"])
        specs[SILENT] = Printer(["--silent-console"])
        cls.bed = fleetbed.FleetBed(cls.scratch, specs)

    def fleet(self, args, printers, **kwargs):
        lines = "".join(f"{address(i)}\n" for i in printers).encode()
        return run_fleet(self.bed, ["-d", "-m", "l"] + args + ["fw-update.exe", "-"], self.scratch.dir,
                         stdin=lines, **kwargs)

    def test_waves_stop_after_a_failed_wave(self):
        out = self.scratch.path("waves-out")
        run = self.fleet(["-j", "8", "--waves", "1,2", "-o", out], [0, 1, BOOTING, 3, 4])
        self.assertEqual((run.status, run.stderr), (1, ""), run)
        self.assertEqual(run.stdout, f"5 printers: 2 ok, 1 failed, 2 not started\n  {address(BOOTING)}  exit status 1\n"
                                     "Stopped after wave 2: 1 of 3 printers of waves 1 to 2 failed\n"
                                     f"Records: {out}/summary.tsv\n")
        self.assertEqual([r[1] for r in summary(out)[1:]], ["ok", "ok", "failed", "not started", "not started"])
        runs = joblog(out)
        self.assertEqual(sorted(runs), sorted(address(i) for i in (0, 1, BOOTING)))
        # The second wave started once the first had ended, its two printers together.
        self.assertGreaterEqual(min(runs[address(1)][0], runs[address(BOOTING)][0]), runs[address(0)][1])
        # Within --max-failed, the same failure lets the run go on, wave by wave.
        out = self.scratch.path("waves-within-out")
        run = self.fleet(["-j", "8", "--waves", "1,2", "--max-failed", "50%", "-o", out], [0, 1, BOOTING, 3, 4])
        self.assertEqual((run.status, run.stderr), (1, ""), run)
        self.assertEqual([r[1] for r in summary(out)[1:]], ["ok", "ok", "failed", "ok", "ok"])
        runs = joblog(out)
        self.assertGreaterEqual(min(runs[address(3)][0], runs[address(4)][0]),
                                max(runs[address(1)][1], runs[address(BOOTING)][1]))

    def test_pause_between_waves(self):
        out = self.scratch.path("pause-out")
        run = self.fleet(["--canary", "1", "--pause", "3s", "-o", out], [0, 1, 3])
        self.assertEqual((run.status, run.stderr), (0, ""), run)
        runs = joblog(out)
        later = min(runs[address(1)][0], runs[address(3)][0])
        self.assertGreaterEqual(later - runs[address(0)][1], 3.0)
        self.assertLess(later - runs[address(0)][1], 6.0)

    def test_pause_that_reaches_the_windows_end_ends_the_run_there(self):
        out = self.scratch.path("pause-window-out")
        # The window's end comes while the run pauses after its canary: the
        # run stops then, rather than at the pause's end (or in tomorrow's
        # window).
        run = self.fleet(["--canary", "1", "--pause", "20s", "--window", f"{clock(-60)}-{clock(6)}", "-o", out],
                         [0, 1, 3])
        self.assertEqual((run.status, run.stderr), (1, ""), run)
        self.assertEqual(run.stdout, f"3 printers: 1 ok, 0 failed, 2 not started\nStopped at the end of the window\n"
                                     f"Records: {out}/summary.tsv\n")
        self.assertLess(run.seconds, 15)

    def test_window_holds_the_start_and_stops_new_starts_then_a_retry_finishes(self):
        out = self.scratch.path("window-out")
        # It opens in a few seconds: the run says so and waits.
        run = self.fleet(["--window", f"{clock(3)}-{clock(3600)}", "-o", out], [0])
        self.assertEqual(run.status, 0, run)
        self.assertRegex(run.stderr, r"^holm-fleet: waiting for the window \S+, which opens in [1-3] s\n$")
        self.assertGreaterEqual(run.seconds, 1.5)
        # It closes while the silent console holds the only slot: that printer
        # ends its run, no other starts.
        lines = [SILENT, 0, 1, 3]
        out = self.scratch.path("window-closing-out")
        run = self.fleet(["-j", "1", "--window", f"{clock(-60)}-{clock(2)}", "-o", out], lines)
        self.assertEqual((run.status, run.stderr), (1, ""), run)
        self.assertEqual(run.stdout, f"4 printers: 0 ok, 1 failed, 3 not started\n  {address(SILENT)}  Could not get snmp logs\n"
                                     f"Stopped at the end of the window\nRecords: {out}/summary.tsv\n")
        self.assertEqual(sorted(joblog(out)), [address(SILENT)])
        # A later window: the retry goes on from there.
        run = self.fleet(["--retry-failed", "-j", "1", "--window", f"{clock(-60)}-{clock(600)}", "-o", out], lines)
        self.assertEqual((run.status, run.stderr), (1, ""), run)
        self.assertEqual([r[1] for r in summary(out)[1:]], ["failed", "ok", "ok", "ok"])
        self.assertRegex(run.stdout, "^4 printers: 3 ok, 1 failed\n")


if __name__ == "__main__":
    unittest.main()
