"""Fifty printers through holm-fleet, a firmware bundle in the default mode,
six of them faulty; then the faults mended and only the failed retried.

The printer that never comes back gives the fleet its length: its own run
alone (about five minutes, its probes failing at once while it is down) is
measured first on a twin of it, and the whole fleet must take at most 1.3
times as long. About eleven minutes in all.
"""
import os
import sys
import unittest

import harness
import fleetbed
from downloads import MAGIC, Scratch
from fleet import bundle_runs, files_under, holding, run_fleet, summary
from fleetbed import Printer, address

FLEET = 50
NEVER_ANSWERS, WRONG_PASSWORD, REFUSES_PRINT_PORT, NEVER_COMES_BACK, LOSSY_SLOW, TALKS_BACK = range(6)
TWIN = FLEET  # like NEVER_COMES_BACK, outside the fleet, for the run alone
# Status on the print port while it reads slowly through a small window.
TALKING = ["--talk-back", "300", "--read-delay-ms", "2", "--raw-rcvbuf", "8192"]
IMAGE = MAGIC + bytes((i * 131 + i // 4099) % 256 for i in range(300000))
FAILED = {NEVER_ANSWERS: "Destination not alive", WRONG_PASSWORD: "Could not enter download mode.",
          REFUSES_PRINT_PORT: "Could not open print socket", NEVER_COMES_BACK: "Destination not alive"}


def password(i):
    return f"Fleet{i}-pw-q7z"


def credentials(i):
    """(login, password) of printer i: most have both, some neither, some
    a login only."""
    if i % 7 == 6:
        return None, None
    if i % 11 == 10:
        return "admin", None
    return "root", password(i)


def spec(i):
    login, secret = credentials(i)
    args = (["--user", login] if login else []) + (["--password", secret] if secret else [])
    faults = {NEVER_ANSWERS: ({"unreachable": True}, []), REFUSES_PRINT_PORT: ({}, ["--raw-port", "9101"]),
              NEVER_COMES_BACK: ({}, ["--never-come-back"]), TWIN: ({}, ["--never-come-back"]),
              LOSSY_SLOW: ({"loss": 10, "rate": "8mbit"}, []), TALKS_BACK: ({}, TALKING)}
    link, more = faults.get(i, ({}, []))
    return Printer(args + more, **link), args


def line(i, secret=None):
    login, right = credentials(i)
    fields = [address(i)] + ([login] if login else []) + ([secret or right] if right else [])
    return "\t".join(fields) if i % 2 else " ".join(fields)


_skip = fleetbed.available() or ("holm-fleet runs Linux bundles" if harness.WINE else None)


@unittest.skipIf(_skip, _skip or "")
class Fleet(unittest.TestCase):
    def setUp(self):
        self.scratch = Scratch()
        self.addCleanup(self.scratch.close)
        self.specs = [spec(i) for i in range(FLEET + 1)]
        self.bed = fleetbed.FleetBed(self.scratch, [s for s, _ in self.specs])
        self.bundle = harness.make_bundle(self.scratch.path("fw-update.exe"), [("fw/image.bin", IMAGE)])
        self.secrets = [password(i) for i in range(FLEET + 1)] + ["Fleet1-wrong-q7z"]

    def write_printers(self, name, lines):
        with open(self.scratch.path(name), "w") as f:
            f.write("# the fleet\n\n" + "\n".join(lines) + "\n")

    def fleet(self, *args):
        run = run_fleet(self.bed, list(args), self.scratch.dir, watch=True)
        out = self.scratch.path(args[args.index("-o") + 1])
        self.assertEqual(holding(self.secrets, run.command_lines, files_under(out)), [])
        self.assertEqual(os.listdir(self.scratch.path("tmp")), [])
        return run, out

    def test_fleet_of_fifty(self):
        self.write_printers("twin.txt", [line(TWIN)])
        alone, _ = self.fleet("-o", "twin-out", "fw-update.exe", "twin.txt")
        self.assertEqual(alone.status, 1, alone)
        self.assertEqual(self.bed.printers[TWIN].raw_jobs(), [IMAGE])

        lines = [line(i) for i in range(FLEET)]
        lines[WRONG_PASSWORD] = line(WRONG_PASSWORD, "Fleet1-wrong-q7z")
        self.write_printers("printers.txt", lines)
        run, out = self.fleet("-o", "out", "fw-update.exe", "printers.txt")
        print(f"\nalone {alone.seconds:.1f} s, fleet of {FLEET} {run.seconds:.1f} s "
              f"({run.seconds / alone.seconds:.2f} times)", file=sys.stderr)
        self.assertEqual((run.status, run.stderr), (1, ""), run)
        self.assertEqual(run.stdout, f"{FLEET} printers: {FLEET - len(FAILED)} ok, {len(FAILED)} failed\n"
                         + "".join(f"  {address(i)}  {m}\n" for i, m in FAILED.items())
                         + f"Records: {out}/summary.tsv\n")
        rows = summary(out)
        self.assertEqual(rows[0], ["address", "result", "seconds", "message", "before", "after", "bundle"])
        self.assertEqual([(r[0], r[1], r[3]) for r in rows[1:]],
                         [(address(i), "failed" if i in FAILED else "ok", FAILED.get(i, "")) for i in range(FLEET)])
        self.assertEqual(bundle_runs(run.command_lines, self.bundle), {address(i) for i in range(FLEET)})
        for i in range(FLEET):
            with self.subTest(printer=i):
                received = self.bed.printers[i].raw_jobs()
                self.assertEqual(received, [] if i in FAILED and i != NEVER_COMES_BACK else [IMAGE])
        self.assertLessEqual(run.seconds, 1.3 * alone.seconds)

        # Mended: the route back, the right password, the print port, a
        # printer that restarts properly.
        self.bed.set_unreachable(NEVER_ANSWERS, False)
        lines[WRONG_PASSWORD] = line(WRONG_PASSWORD)
        self.write_printers("printers.txt", lines)
        for i in (REFUSES_PRINT_PORT, NEVER_COMES_BACK):
            self.bed.restart(i, self.specs[i][1])
        before = [p.events() for p in self.bed.printers]
        kept = {i: files_under(os.path.join(out, "printers", address(i))) for i in range(FLEET) if i not in FAILED}
        retry, _ = self.fleet("--retry-failed", "-o", "out", "fw-update.exe", "printers.txt")
        self.assertEqual((retry.status, retry.stderr), (0, ""), retry)
        self.assertEqual(retry.stdout, f"{FLEET} printers: {FLEET} ok, 0 failed\nRecords: {out}/summary.tsv\n")
        again = summary(out)
        self.assertEqual([r[1] for r in again[1:]], ["ok"] * FLEET)
        self.assertEqual([again[i + 1] for i in kept], [rows[i + 1] for i in kept])
        self.assertEqual(bundle_runs(retry.command_lines, self.bundle), {address(i) for i in FAILED})
        for i, printer in enumerate(self.bed.printers[:FLEET]):
            with self.subTest(printer=i):
                if i in FAILED:
                    self.assertEqual(printer.raw_jobs(), [IMAGE] * (2 if i == NEVER_COMES_BACK else 1))
                else:
                    self.assertEqual(printer.events(), before[i])
                    self.assertEqual(files_under(os.path.join(out, "printers", address(i))), kept[i])


if __name__ == "__main__":
    unittest.main()
