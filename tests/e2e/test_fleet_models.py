"""holm-fleet with a bundle that names the printer models it is for
(holm-pack --for): each printer's model is read over IPP before anything
else is sent; a printer of another model is incompatible and gets nothing,
one whose model cannot be read fails and gets nothing, the rest get the
bundle. A run of incompatible printers alone fails; a retry leaves them
out; --ignore-model and a bundle that names no models deliver as before."""
import json
import os
import re
import subprocess
import unittest

import harness
import fleetbed
from downloads import Scratch
from fleet import FLEET, PACK_DIR, run_fleet, summary
from fleetbed import Printer, address

JOB = b"a print job for the fifth series\n"
FOR = "HOLM Laser 5*"
MODELS = ["HOLM Laser 5100", "HOLM Inkjet 200", None, None, "holm laser 5200 mfp"]
FITS, OTHER, NO_MODEL, NO_IPP, FITS_TOO = range(5)
_skip = fleetbed.available() or ("holm-fleet runs Linux bundles" if harness.WINE else None)


def spec(i):
    if i == NO_IPP:
        return Printer(["--ipp-port", "0"])
    return Printer(["--model", MODELS[i]] if MODELS[i] else [])


@unittest.skipIf(_skip, _skip or "")
class Models(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = Scratch()
        cls.addClassCleanup(cls.scratch.close)
        with open(cls.scratch.path("job.txt"), "wb") as f:
            f.write(JOB)
        for name, extra in (("for-5.exe", ["--for", FOR]), ("for-any.exe", [])):
            subprocess.run([os.path.join(PACK_DIR, "holm-pack"), "-o", cls.scratch.path(name), "-s",
                            os.environ["HOLM_BIN"]] + extra + ["-C", cls.scratch.dir, "job.txt"],
                           check=True, capture_output=True, timeout=60)
        cls.bed = fleetbed.FleetBed(cls.scratch, [spec(i) for i in range(5)])

    def fleet(self, args, printers):
        lines = "".join(f"{address(i)}\n" for i in printers).encode()
        return run_fleet(self.bed, args + ["-"], self.scratch.dir, stdin=lines)

    def seen(self):
        """What each printer saw but IPP requests, and the jobs it received."""
        return [([e["event"] for e in p.events() if e["event"] != "ipp"], p.raw_jobs()) for p in self.bed.printers]

    def test_only_printers_of_the_bundles_models_get_it(self):
        out = self.scratch.path("models-out")
        before = self.seen()
        run = self.fleet(["-o", out, "for-5.exe"], range(5))
        self.assertEqual((run.status, run.stderr), (1, ""), run)
        self.assertRegex(run.stdout, "^" + re.escape(
            f"5 printers: 2 ok, 2 failed, 1 incompatible\n"
            f"  {address(OTHER)}  model HOLM Inkjet 200 is not one the bundle is for ({FOR})\n"
            f"  {address(NO_MODEL)}  no printer model before the delivery: no printer-make-and-model\n"
            f"  {address(NO_IPP)}  no printer model before the delivery: no IPP answer (Unable to connect to "
            f'"{address(NO_IPP)}" on port 631 - ') + r"[\w ]+\)\n" + re.escape(f"Records: {out}/summary.tsv\n") + "$")
        self.assertEqual([r[1] for r in summary(out)[1:]], ["ok", "incompatible", "failed", "failed", "ok"])
        after = self.seen()
        for i in (OTHER, NO_MODEL, NO_IPP):
            self.assertEqual(after[i], before[i], i)
        for i in (FITS, FITS_TOO):
            self.assertEqual(after[i][1], before[i][1] + [JOB], i)
        with open(os.path.join(out, "printers", address(OTHER), "model")) as f:
            self.assertEqual(f.read(), "HOLM Inkjet 200\n")
        # The retry leaves the incompatible printer alone: mended, the other
        # two are of no model the bundle is for either way.
        reads = len(self.bed.printers[OTHER].events("ipp"))
        run = self.fleet(["--retry-failed", "-o", out, "for-5.exe"], range(5))
        self.assertEqual(run.status, 1, run)
        self.assertEqual(len(self.bed.printers[OTHER].events("ipp")), reads)
        self.assertEqual([r[1] for r in summary(out)[1:]], ["ok", "incompatible", "failed", "failed", "ok"])

    def test_a_run_of_incompatible_printers_alone_fails(self):
        out = self.scratch.path("wrong-out")
        run = self.fleet(["-o", out, "for-5.exe"], [OTHER])
        self.assertEqual((run.status, run.stderr), (1, ""), run)
        self.assertEqual(run.stdout, f"1 printer: 0 ok, 0 failed, 1 incompatible\n"
                                     f"  {address(OTHER)}  model HOLM Inkjet 200 is not one the bundle is for ({FOR})\n"
                                     "No printer of the list is of a model the bundle is for\n"
                                     f"Records: {out}/summary.tsv\n")

    def test_without_the_check_as_before(self):
        for bundle, args in (("for-5.exe", ["--ignore-model"]), ("for-any.exe", [])):
            with self.subTest(bundle=bundle):
                out = self.scratch.path(bundle + ".out")
                jobs = [len(p.raw_jobs()) for p in self.bed.printers]
                reads = [len(p.events("ipp")) for p in self.bed.printers]
                run = self.fleet(args + ["-o", out, bundle], [OTHER, NO_IPP])
                self.assertEqual((run.status, run.stderr), (0, ""), run)
                self.assertEqual([len(p.raw_jobs()) - n for p, n in zip(self.bed.printers, jobs)], [0, 1, 0, 1, 0])
                self.assertEqual([len(p.events("ipp")) for p in self.bed.printers], reads)

    def test_read_one_printer_against_the_bundle(self):
        def read(*args):
            done = self.bed.run([FLEET, "--read", "before"] + list(args), cwd=self.scratch.dir, timeout=60)
            return done.returncode, json.loads(done.stdout)

        status, said = read("for-5.exe", address(OTHER))
        self.assertEqual((status, said["result"], said["model"]), (0, "incompatible", "HOLM Inkjet 200"))
        self.assertEqual(said["message"], f"model HOLM Inkjet 200 is not one the bundle is for ({FOR})")
        self.assertEqual(read("for-5.exe", address(FITS))[1]["result"], "to deliver")
        self.assertEqual(read("for-5.exe", address(NO_MODEL))[0], 1)
        # Nothing to check: nothing is asked of the printer.
        reads = len(self.bed.printers[NO_IPP].events("ipp"))
        self.assertEqual(read("for-any.exe", address(NO_IPP)), (0, {
            "address": address(NO_IPP), "when": "before", "result": "to deliver", "message": "", "version": "",
            "model": "", "bundle": "for-any.exe"}))
        self.assertEqual(read("--ignore-model", "for-5.exe", address(OTHER))[1]["result"], "to deliver")
        self.assertEqual(len(self.bed.printers[NO_IPP].events("ipp")), reads)


if __name__ == "__main__":
    unittest.main()
