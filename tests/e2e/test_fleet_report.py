"""The report of real holm-fleet runs in headless Chromium: a firmware run
with mixed results shows the counts and the printers of its summary, a
printer's hostile version stays text, nothing is asked for outside the
file, no login or password appears; a report read while its run goes shows
it running and reloads itself, the last one does not. The picture of the
mixed run is kept beside the build's test results (artefacts/)."""
import collections
import hashlib
import os
import re
import subprocess
import time
import unittest

import browser
import harness
import fleetbed
from downloads import FIRMWARE, Scratch
from fleet import FLEET, PACK_DIR, make_bundle, run_fleet, summary
from fleetbed import Printer, address

HOSTILE = "<script>window.holmPwned=1</script><img src=x onerror=window.holmPwned=2>"
LOGIN, PASSWORD = "fleetlogin7", "Report-pw-9q"
OLD, NEW = "main=1.0", "main=2.0"
TAKES_NEW = ["--firmware", OLD, "--installs", NEW]
PRINTERS = [Printer(TAKES_NEW), Printer(["--firmware", NEW]), Printer(["--firmware", "main=" + HOSTILE]),
            Printer(["--ipp-port", "0"]), Printer(["--user", LOGIN, "--password", PASSWORD] + TAKES_NEW),
            Printer(["--silent-console", "--firmware", OLD])]
SILENT = 5
ARTEFACTS = os.environ.get("HOLM_ARTEFACTS", "")

_skip = (fleetbed.available() or ("holm-fleet runs Linux bundles" if harness.WINE else None)
         or (None if browser.CHROMIUM else "chromium is not installed (apt-get install -y chromium)"))


@unittest.skipIf(_skip, _skip or "")
class FleetReport(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = Scratch()
        cls.addClassCleanup(cls.scratch.close)
        make_bundle(cls.scratch.path("fw-update.exe"), FIRMWARE[:1])
        cls.bed = fleetbed.FleetBed(cls.scratch, PRINTERS)
        cls.lines = "".join(f"{address(i)} {LOGIN} {PASSWORD}\n" if i == 4 else f"{address(i)}\n"
                            for i in range(len(PRINTERS)))

    def open(self, report):
        page = browser.Page(report)
        self.addCleanup(page.close)
        return page.__enter__()

    def test_mixed_run(self):
        out = self.scratch.path("mixed-out")
        run = run_fleet(self.bed, ["--firmware", NEW, "-o", out, "fw-update.exe", "-"], self.scratch.dir,
                        stdin=self.lines.encode())
        self.assertEqual((run.status, run.stderr), (1, ""), run)
        rows = summary(out)[1:]
        self.assertEqual([r[1] for r in rows], ["ok", "current", "failed", "failed", "ok", "failed"])
        report = os.path.join(out, "report.html")
        with open(report, "rb") as f:
            page_bytes = f.read()
        for secret in (LOGIN, PASSWORD):
            self.assertNotIn(secret.encode(), page_bytes)
        page = self.open(report)
        shown = page.counts()
        self.assertEqual(shown.pop("total"), len(rows))
        self.assertEqual({r: c for r, c in shown.items() if c}, dict(collections.Counter(r[1] for r in rows)))
        self.assertEqual(page.printers(), [(r[0], r[1]) for r in rows])
        with open(self.scratch.path("fw-update.exe"), "rb") as f:
            self.assertIn(hashlib.sha256(f.read()).hexdigest(), page.evaluate("document.body.textContent"))
        messages = page.evaluate("[...document.querySelectorAll('#failure-table td.message')].map(c => c.textContent)")
        self.assertIn(f"still {HOSTILE} after the delivery", messages)
        page.evaluate("document.querySelector('.cell[data-i=\"2\"]').click()")
        self.assertEqual(page.detail()["before"], HOSTILE)
        self.assertIsNone(page.evaluate("window.holmPwned"))
        self.assertEqual(page.evaluate("document.querySelectorAll('#detail img, #failure-table img').length"), 0)
        self.assertEqual(page.requests(), [page.url.split("#")[0]])
        self.assertEqual(page.errors(), [])
        self.assertIsNone(page.evaluate("document.documentElement.dataset.reload"))
        if ARTEFACTS:
            os.makedirs(ARTEFACTS, exist_ok=True)
            page.screenshot(os.path.join(ARTEFACTS, "fleet-report.png"), full_page=True)

    def test_report_while_the_run_goes(self):
        # One at a time, the silent console first: it holds the run for
        # about five seconds, time enough to read the report of a run under way.
        out = self.scratch.path("live-out")
        lines = f"{address(SILENT)}\n{address(1)}\n{address(3)}\n"
        env = dict(os.environ, TMPDIR=self.scratch.path("tmp"), PATH=PACK_DIR + os.pathsep + os.environ["PATH"])
        os.makedirs(env["TMPDIR"], exist_ok=True)
        fleet = self.bed.popen([FLEET, "-j", "1", "-o", out, "fw-update.exe", "-"], cwd=self.scratch.dir, env=env,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(lambda: fleet.poll() is None and fleet.kill())
        fleet.stdin.write(lines.encode())
        fleet.stdin.close()
        report = os.path.join(out, "report.html")
        deadline = time.monotonic() + 30
        while not os.path.exists(report) and time.monotonic() < deadline:
            time.sleep(0.05)
        page = self.open(report)
        self.assertEqual(page.evaluate("document.getElementById('run-state').dataset.state"), "running")
        self.assertEqual(page.printers(), [(address(SILENT), "running"), (address(1), "not started"),
                                           (address(3), "not started")])
        self.assertEqual(page.evaluate("document.documentElement.dataset.reload"), "5")
        self.assertEqual(fleet.wait(timeout=120), 1)
        with open(report) as f:
            self.assertRegex(f.read(), re.compile(r'"state": "ended"'))
        ended = self.open(report)
        self.assertEqual([r for _, r in ended.printers()], ["failed", "ok", "ok"])
        self.assertIsNone(ended.evaluate("document.documentElement.dataset.reload"))
        self.assertFalse(os.path.exists(report + ".new"))


if __name__ == "__main__":
    unittest.main()
