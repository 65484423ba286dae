"""holm-fleet on a small fleet: its usage errors and the bundles its gate
refuses, which send nothing; the printers' own records of -m k; a failed
check and its retry; a canary and a brake that leave the rest not started,
and the retry that finishes it; a firmware delivery that reads each
printer's version over IPP before and after."""
import json
import os
import re
import shutil
import signal
import stat
import subprocess
import unittest

import harness
import fleetbed
import signing
from downloads import FIRMWARE, Scratch
from fleet import FLEET, PACK_DIR, bundle_runs, files_under, holding, make_bundle, run_fleet, summary
from fleetbed import Printer, address

LPSTAT = ("Job  State      Size\r\n---  ---------  ----\r\n{}\r\n")
IDLE, DOWNLOAD = "-    idle       0", "0    download   0"
PASSWORDS = ["", "Small-fleet-pw-1", "Small-fleet-pw-2"]
LINES = f"# three printers\n\n{address(0)}\n  {address(1)} admin {PASSWORDS[1]}\n" \
        f"{address(2)}\troot\t{PASSWORDS[2]}\n"

# A stand-in for ssh: each host is a folder of its own on this machine.
FAKE_SSH = """#!/bin/bash
while [ $# -gt 0 ]; do case $1 in -*) shift ;; *) break ;; esac; done
mkdir -p "$FAKE_HOMES/$1" && cd "$FAKE_HOMES/$1" || exit 255
shift
[ "$1" != -- ] || shift
# A login sets the account's HOME and SHELL; parallel runs the job with that SHELL.
HOME=$PWD SHELL=/bin/bash exec bash -c "$*"
"""
# The commands of the README, with that stand-in, and -d -m l for a quick run.
SPREAD = ("umask 077 && split -n l/2 -d --additional-suffix=.txt printers.txt part- && "
          "parallel --will-cite --ssh $FAKE_SSH -S ctl1,ctl2 -j 1 --basefile fw-update.exe "
          "--transferfile {} --return {.}.out --cleanup "
          "holm-fleet -d -m l -o {.}.out ./fw-update.exe {} ::: part-*.txt")
RETRY = ("parallel --will-cite --ssh $FAKE_SSH -S ctl1,ctl2 -j 1 --basefile fw-update.exe "
         "--transferfile {} --transferfile {.}.out --return {.}.out --cleanup "
         "holm-fleet --retry-failed -d -m l -o {.}.out ./fw-update.exe {} ::: part-*.txt")
MERGE = "awk 'FNR > 1 || NR == 1' part-*.out/summary.tsv > summary.tsv"
# Printers 4 to 9, for --firmware main=2.0: one already current, one that
# restarts on its old version, one without IPP, two that take the new one
# (the second reports another firmware first: only main's version counts),
# one whose IPP service does not come back after the restart.
OLD, NEW = "1.0", "2.0"
CURRENT, STAYS_OLD, NO_IPP, TAKES_IT, IPP_GONE = 4, 5, 6, (7, 8), 9
TAKES_NEW = ["--firmware", f"main={OLD}", "--installs", f"main={NEW}"]
FIRMWARE_PRINTERS = [Printer(["--firmware", f"main={NEW}"]), Printer(["--firmware", f"main={OLD}"]),
                     Printer(["--ipp-port", "0"]), Printer(TAKES_NEW),
                     Printer(["--firmware", f"boot={NEW}"] + TAKES_NEW),
                     Printer(TAKES_NEW + ["--ipp-gone-after-restart"])]
# Printers 10 to 12, left as they are by every other test: a run's swapped
# bundle goes to them, and --read reads them.
ON_NEW, ON_OLD, WITHOUT_IPP = 10, 11, 12
STEADY_PRINTERS = [Printer(["--firmware", f"main={NEW}"]), Printer(["--firmware", f"main={OLD}"]),
                   Printer(["--ipp-port", "0"])]

_skip = fleetbed.available() or ("holm-fleet runs Linux bundles" if harness.WINE else None)


@unittest.skipIf(_skip, _skip or "")
class SmallFleet(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = Scratch()
        cls.addClassCleanup(cls.scratch.close)
        cls.dir = cls.scratch.dir
        make_bundle(cls.scratch.path("fw-update.exe"), FIRMWARE[:1])
        with open(cls.scratch.path("printers.txt"), "w") as f:
            f.write(LINES)
        cls.bed = fleetbed.FleetBed(cls.scratch, [
            Printer(),
            Printer(["--user", "admin", "--password", PASSWORDS[1], "--download-mode"]),
            Printer(["--password", PASSWORDS[2], "--booting"]),
            Printer(["--silent-console"])] + FIRMWARE_PRINTERS + STEADY_PRINTERS)

    def fleet(self, args, **kwargs):
        return run_fleet(self.bed, args, self.dir, **kwargs)

    def path_without(self, *commands):
        """A PATH of every command of the system but these (and holm-pack,
        which lives elsewhere)."""
        bin_dir = self.scratch.path("bin-without-" + "-".join(commands))
        if not os.path.isdir(bin_dir):
            os.mkdir(bin_dir)
            for folder in ("/usr/local/bin", "/usr/bin", "/bin"):
                for command in os.listdir(folder):
                    if command not in commands and not os.path.exists(os.path.join(bin_dir, command)):
                        os.symlink(os.path.join(folder, command), os.path.join(bin_dir, command))
        return bin_dir

    def events(self):
        return [p.events() for p in self.bed.printers]

    def assertClean(self, out, run, addresses):
        """The bundle ran for no printer but addresses, and no password stood
        on a command line, in the records, or was left behind. Command lines
        are sampled, so a run quicker than the sampling may go unseen: which
        printers did run, the summary and the printers' own events tell."""
        self.assertLessEqual(bundle_runs(run.command_lines, self.scratch.path("fw-update.exe")), set(addresses))
        self.assertEqual(holding(PASSWORDS[1:], run.command_lines, files_under(out)), [])
        self.assertEqual(os.listdir(self.scratch.path("tmp")), [])

    def test_spread_over_two_control_machines(self):
        self.bed.restart(2, ["--password", PASSWORDS[2], "--booting"])
        work, homes = self.scratch.path("spread"), self.scratch.path("homes")
        os.mkdir(work)
        shutil.copy2(self.scratch.path("fw-update.exe"), work)
        with open(os.path.join(work, "printers.txt"), "w") as f:
            f.write(LINES)
        with open(os.path.join(work, "fake-ssh"), "w") as f:
            f.write(FAKE_SSH)
        os.chmod(os.path.join(work, "fake-ssh"), 0o755)
        env = dict(os.environ, FAKE_SSH=os.path.join(work, "fake-ssh"), FAKE_HOMES=homes,
                   PATH=os.pathsep.join([os.path.dirname(os.path.abspath(FLEET)), PACK_DIR, os.environ["PATH"]]))

        def shell(script):
            done = self.bed.run(["bash", "-c", script + " && " + MERGE + " || { s=$?; " + MERGE + "; exit $s; }"],
                                cwd=work, env=env, timeout=300)
            with open(os.path.join(work, "summary.tsv")) as f:
                return (done.returncode, [line.split("\t")[:2] for line in f.read().splitlines()]), done

        # One part holds the booting printer: that part fails.
        outcome, done = shell(SPREAD)
        self.assertEqual(outcome, (1, [["address", "result"], [address(0), "ok"], [address(1), "ok"],
                                       [address(2), "failed"]]), done)
        self.bed.restart(2, ["--password", PASSWORDS[2]])
        outcome, done = shell(RETRY)
        self.assertEqual(outcome, (0, [["address", "result"]] + [[address(i), "ok"] for i in range(3)]), done)
        # The parts went to both machines and were removed there.
        self.assertEqual(sorted(os.listdir(homes)), ["ctl1", "ctl2"])
        left = files_under(homes)
        self.assertEqual([name for name in left if not name.split("/")[1].startswith("part-0")], [])
        self.assertEqual([name for name in left if name.endswith(".txt")], [])
        self.assertEqual(holding(PASSWORDS[1:], [], left), [])

    def test_usage_errors_send_nothing(self):
        path = self.scratch.path
        for name, text in (("twice.txt", f"{address(0)}\n{address(1)}\n{address(0)} root\n"),
                           ("four.txt", f"{address(0)}\n{address(1)} root secret extra\n"),
                           ("none.txt", "# nothing yet\n\n   \n"), ("slash.txt", "198.18.1.1/24\n"),
                           ("alias.txt", f"{address(0)}\nprinter1.test\nprinter0.test\n")):
            with open(path(name), "w") as f:
                f.write(text)
        os.mkdir(path("folder.exe"))
        harness.make_bundle(path("no-suffix"), [])
        harness.make_bundle(path("plain.exe"), [])
        os.chmod(path("plain.exe"), stat.S_IRUSR | stat.S_IWUSR)
        out, ok = path("errors-out"), [path("fw-update.exe"), path("printers.txt")]
        cases = {
            "no DIR": ([] + ok, "no -o DIR"),
            "bad -j": (["-j", "0", "-o", out] + ok, "bad -j: 0 (a whole number from 1)"),
            "-j not a number": (["-j", "many", "-o", out] + ok, "bad -j: many (a whole number from 1)"),
            "-j without value": (["-o", out, "-j"], "-j needs a value"),
            "bad -m": (["-m", "z", "-o", out] + ok, "bad -m: z (one mode letter, a to l)"),
            "unknown option": (["-x", "-o", out] + ok, "unknown option -x (holm-fleet --help tells the usage)"),
            "--read with a run's option": (["--read", "before", "--firmware", "2.0", "-o", out, address(4)],
                                           "-o does not go with --read"),
            "--read without --firmware": (["--read", "after", address(4)], "--read needs --firmware, or BUNDLE, or both"),
            "--read when": (["--read", "during", "--firmware", "2.0", address(4)], "bad --read: during (before or after)"),
            "one argument": (["-o", out, ok[0]], "expected BUNDLE... and PRINTERS, got 1 argument"),
            "missing BUNDLE": (["-o", out, path("gone.exe"), ok[1]], f"no such BUNDLE: {path('gone.exe')}"),
            "BUNDLE a folder": (["-o", out, path("folder.exe"), ok[1]],
                                f"BUNDLE is not a readable file: {path('folder.exe')}"),
            "BUNDLE not executable": (["-o", out, path("plain.exe"), ok[1]],
                                      f"BUNDLE is not executable: {path('plain.exe')}"),
            "BUNDLE without .exe": (["-o", out, path("no-suffix"), ok[1]],
                                    f"BUNDLE must end in .exe: {path('no-suffix')}"),
            "missing PRINTERS": (["-o", out, ok[0], path("gone.txt")], f"no such PRINTERS: {path('gone.txt')}"),
            "PRINTERS a folder": (["-o", out, ok[0], path("folder.exe")],
                                  f"PRINTERS is not a readable file: {path('folder.exe')}"),
            "no printer": (["-o", out, ok[0], path("none.txt")], f"no printer in {path('none.txt')}"),
            "no printer on stdin": (["-o", out, ok[0], "-"], "no printer in standard input"),
            "same address twice": (["-o", out, ok[0], path("twice.txt")],
                                   f"{path('twice.txt')}, line 3: {address(0)} is listed twice (first on line 1)"),
            "two names of one address": (["-o", out, ok[0], path("alias.txt")],
                                         f"{path('alias.txt')}, line 3: printer0.test is {address(0)}, as is "
                                         f"line 1 ({address(0)}): one printer listed twice"),
            "four fields": (["-o", out, ok[0], path("four.txt")], f"{path('four.txt')}, line 2: more than three fields"),
            "not an address": (["-o", out, ok[0], path("slash.txt")],
                               f"{path('slash.txt')}, line 1: not an address: 198.18.1.1/24"),
            "DIR under a file": (["-o", path("printers.txt", "out")] + ok,
                                 f"cannot make DIR: {path('printers.txt', 'out')}"),
            "nothing to retry": (["--retry-failed", "-o", out] + ok, f"no earlier run to retry in {out}"),
            "--plan alone": (["--plan", "-o", out] + ok,
                             "--plan needs --firmware, or a BUNDLE that names models or records its version"),
            "--firmware without value": (["-o", out, "--firmware"], "--firmware needs a value"),
            "--firmware without VERSION": (["--firmware", "main=", "-o", out] + ok,
                                           "bad --firmware: main= ([NAME=]VERSION)"),
            "--firmware with a mode that does not wait": (
                ["--firmware", "2.0", "-m", "b", "-o", out] + ok,
                "--firmware needs mode a or e (they wait for the restart), not -m b"),
        }
        before = self.events()
        for name, (args, message) in cases.items():
            with self.subTest(name):
                run = self.fleet(args)
                self.assertEqual((run.status, run.stdout, run.stderr), (2, "", f"holm-fleet: {message}\n"))
        with self.subTest("-j out of reach"):
            run = self.fleet(["-j", "2", "-o", out] + ok, prefix=["prlimit", "--nofile=20:20"])
            self.assertEqual((run.status, run.stdout, run.stderr),
                             (2, "", "holm-fleet: -j 2 cannot be reached here: 2 printers at once need about 32 "
                                     "open files, and the limit is 20 (ulimit -n)\n"))
        self.assertEqual(self.events(), before)
        self.assertFalse(os.path.exists(out))

    def test_bundle_refused_at_the_gate_sends_nothing(self):
        path = self.scratch.path
        with open(path("fw-update.exe"), "rb") as f:
            data = bytearray(f.read())
        at = data.find(FIRMWARE[0][1]) + 5000
        data[at] ^= 0xFF
        with open(path("damaged.exe"), "wb") as f:
            f.write(data)
        os.chmod(path("damaged.exe"), 0o755)
        for name in ("good", "other"):
            subprocess.run(["minisign", "-G", "-W", "-f", "-p", path(f"{name}.pub"), "-s", path(f"{name}.key")],
                           check=True, capture_output=True, timeout=60)
        for name, key in (("signed.exe", "good"), ("wrongly-signed.exe", "other")):
            shutil.copy2(path("fw-update.exe"), path(name))
            subprocess.run(["minisign", "-S", "-s", path(f"{key}.key"), "-m", path(name)], check=True,
                           capture_output=True, timeout=60)
        shutil.copy2(path("fw-update.exe"), path("unsigned.exe"))
        out, key = path("gate-out"), ["--key", path("good.pub")]
        before = self.events()
        cases = {
            "damaged": ([], "damaged.exe", "holm-pack -t does not find damaged.exe sound: nothing sent"),
            "unsigned": (key, "unsigned.exe", f"unsigned.exe is not signed by the key {path('good.pub')}: "
                                              f"{path('unsigned.exe.minisig')}: No such file or directory (nothing sent)"),
            "wrongly signed": (key, "wrongly-signed.exe", f"wrongly-signed.exe is not signed by the key "
                                                          f"{path('good.pub')}: Signature key id in "),
        }
        for name, (args, bundle, message) in cases.items():
            with self.subTest(name):
                run = self.fleet(args + ["-o", out, bundle, "printers.txt"])
                self.assertEqual((run.status, run.stdout), (2, ""), run)
                *problems, last = run.stderr.splitlines()
                self.assertTrue(last.startswith(f"holm-fleet: {message}"), run.stderr)
                self.assertTrue(all(line.startswith("holm-pack: ") for line in problems), run.stderr)
                self.assertEqual(bool(problems), name == "damaged")
        self.assertEqual(self.events(), before)
        self.assertFalse(os.path.exists(out))
        run = self.fleet(key + ["-d", "-m", "l", "-o", out, "signed.exe", "-"], stdin=f"{address(0)}\n".encode())
        self.assertEqual((run.status, run.stderr), (0, ""), run)

    def test_authenticode_gate(self):
        """--ca: only a bundle signed by a certificate of that CA passes, and
        one signed both ways (Authenticode, then minisign over the whole
        file) passes --key too."""
        path = self.scratch.path
        pki = signing.Pki(path("pki"))
        with open(path("tiny.exe"), "wb") as f:
            f.write(signing.tiny_program())
        make_bundle(path("site.exe"), FIRMWARE[:1], ["-s", path("tiny.exe"), "--sign", pki.path("sign.pem"),
                                                     "--sign-key", pki.path("sign.key")])
        os.chmod(path("site.exe"), 0o755)  # as the stub was not
        subprocess.run(["minisign", "-G", "-W", "-f", "-p", path("site.pub"), "-s", path("site.key")],
                       check=True, capture_output=True, timeout=60)
        subprocess.run(["minisign", "-S", "-s", path("site.key"), "-m", path("site.exe")], check=True,
                       capture_output=True, timeout=60)
        with open(path("site.exe"), "rb") as f:
            data = bytearray(f.read())
        data[data.find(FIRMWARE[0][1]) + 100] ^= 0x01
        with open(path("forged.exe"), "wb") as f:
            f.write(data)
        os.chmod(path("forged.exe"), 0o755)
        ca, other = pki.path("ca.pem"), pki.path("other-ca.pem")
        out = path("ca-out")
        printers = f"{address(ON_NEW)}\n".encode()
        before = self.events()
        cases = {
            "unsigned": (ca, "fw-update.exe", "no Authenticode signature, and a signature that chains to " + ca),
            "changed after signing": (ca, "forged.exe", "the Authenticode signature does not match the file"),
            "another CA": (other, "site.exe", "the Authenticode signature does not chain to " + other),
        }
        for name, (authority, bundle, problem) in cases.items():
            with self.subTest(name):
                run = self.fleet(["--ca", authority, "-o", out, bundle, "-"], stdin=printers)
                self.assertEqual((run.status, run.stdout), (2, ""), run)
                self.assertEqual(run.stderr.splitlines()[-1], f"holm-fleet: holm-pack -t --ca {authority} does not "
                                                              f"find {bundle} sound: nothing sent")
                self.assertIn(f"holm-pack: {path(bundle)}: {problem}", run.stderr)
        self.assertEqual(self.events(), before)
        self.assertFalse(os.path.exists(out))
        # Through the gate; the plan finds the printer current and sends nothing.
        run = self.fleet(["--ca", ca, "--key", path("site.pub"), "--firmware", f"main={NEW}", "--plan", "-o", out,
                          "site.exe", "-"], stdin=printers)
        self.assertEqual((run.status, run.stderr), (0, ""), run)
        self.assertTrue(run.stdout.startswith("1 printer: 1 current"), run.stdout)

    def test_canary_and_brake_stop_the_rest_and_a_retry_finishes_it(self):
        self.bed.restart(2, ["--password", PASSWORDS[2], "--booting"])
        lines = f"{address(2)} root {PASSWORDS[2]}\n{address(0)}\n{address(1)} admin {PASSWORDS[1]}\n"
        out = self.scratch.path("canary-out")
        # The canary holds the booting printer: the third is not started.
        args = ["-d", "-m", "l", "-o", out, "fw-update.exe", "-"]
        run = self.fleet(["--canary", "2"] + args, stdin=lines.encode(), watch=True)
        self.assertEqual((run.status, run.stderr), (1, ""), run)
        self.assertEqual(run.stdout, f"3 printers: 1 ok, 1 failed, 1 not started\n  {address(2)}  exit status 1\n"
                                     "Stopped after the canary: not all of the first 2 printers ended ok\n"
                                     f"Records: {out}/summary.tsv\n")
        self.assertEqual([r[1] for r in summary(out)[1:]], ["failed", "ok", "not started"])
        self.assertFalse(os.path.exists(os.path.join(out, "printers", address(1))))
        self.assertClean(out, run, [address(2), address(0)])
        # One at a time, the first failure of one finished stops the rest.
        for limit in ("50%", "1"):
            with self.subTest(limit=limit):
                brake = self.scratch.path(f"brake-{limit}-out")
                run = self.fleet(["-j", "1", "--max-failed", limit, "-d", "-m", "l", "-o", brake, "fw-update.exe",
                                  "-"], stdin=lines.encode(), watch=True)
                self.assertEqual((run.status, run.stderr), (1, ""), run)
                self.assertEqual(run.stdout, f"3 printers: 0 ok, 1 failed, 2 not started\n  {address(2)}  exit status 1\n"
                                             f"Stopped by --max-failed {limit}: 1 of 1 finished printers failed\n"
                                             f"Records: {brake}/summary.tsv\n")
                self.assertClean(brake, run, [address(2)])
        # Two at a time: the silent console, running when the booting printer
        # fails, finishes its run (and fails in its turn); the third never starts.
        brake = self.scratch.path("brake-two-out")
        run = self.fleet(["-j", "2", "--max-failed", "1", "-d", "-m", "l", "-o", brake, "fw-update.exe", "-"],
                         stdin=f"{address(2)} root {PASSWORDS[2]}\n{address(3)}\n{address(0)}\n".encode())
        self.assertEqual((run.status, run.stderr), (1, ""), run)
        self.assertEqual([(r[1], r[3] == "no result") for r in summary(brake)[1:]],
                         [("failed", False), ("failed", False), ("not started", False)])
        # The retry runs the failed and the not started, and only them.
        self.bed.restart(2, ["--password", PASSWORDS[2]])
        kept = files_under(os.path.join(out, "printers", address(0)))
        run = self.fleet(["--retry-failed", "--canary", "1"] + args, stdin=lines.encode(), watch=True)
        self.assertEqual((run.status, run.stderr), (0, ""), run)
        self.assertEqual(run.stdout, f"3 printers: 3 ok, 0 failed\nRecords: {out}/summary.tsv\n")
        self.assertEqual(files_under(os.path.join(out, "printers", address(0))), kept)
        self.assertClean(out, run, [address(2), address(1)])
        with open(os.path.join(out, "joblog")) as f:
            seqs = [line.split("\t")[0] for line in f]
        # In the order the runs ended: the canary's two, then the retry's.
        self.assertEqual((seqs[0], sorted(seqs[1:3]), seqs[3:]), ("Seq", ["1", "2"], ["1", "3"]))

    def test_interrupted_run_is_finished_by_a_retry(self):
        out = self.scratch.path("interrupted-out")
        # One at a time, the silent console first: it holds the run for 5 s,
        # and the interrupt comes while it waits there.
        lines = f"{address(3)}\n{address(0)}\n{address(1)} admin {PASSWORDS[1]}\n"
        args = ["-j", "1", "-m", "k", "-o", out, "fw-update.exe", "-"]
        silent = self.bed.printers[3]
        opened = len(silent.events("console-open"))
        run = self.fleet(args, stdin=lines.encode(),
                         interrupt_when=lambda: len(silent.events("console-open")) > opened)
        self.assertEqual((run.status, run.stderr), (1, ""), run)
        self.assertEqual(run.stdout, f"3 printers: 0 ok, 1 failed, 2 not started\n  {address(3)}  no result\n"
                                     f"Interrupted\nRecords: {out}/summary.tsv\n")
        self.assertEqual([(r[1], r[3]) for r in summary(out)[1:]],
                         [("failed", "no result"), ("not started", ""), ("not started", "")])
        self.assertEqual(os.listdir(self.scratch.path("tmp")), [])
        run = self.fleet(["--retry-failed"] + args, stdin=lines.encode(), watch=True)
        self.assertEqual((run.status, run.stderr), (1, ""), run)
        self.assertEqual(run.stdout, f"3 printers: 2 ok, 1 failed\n  {address(3)}  Could not get lpstat\n"
                                     f"Records: {out}/summary.tsv\n")
        self.assertClean(out, run, [address(i) for i in (3, 0, 1)])

    def test_hang_up_lets_the_run_finish(self):
        out = self.scratch.path("hung-up-out")
        # As above; the hang-up comes while the silent console holds the run,
        # and the printers after it still get their logins and passwords.
        lines = f"{address(3)}\n{address(0)}\n{address(1)} admin {PASSWORDS[1]}\n"
        silent = self.bed.printers[3]
        opened = len(silent.events("console-open"))
        run = self.fleet(["-j", "1", "-m", "k", "-o", out, "fw-update.exe", "-"], stdin=lines.encode(), watch=True,
                         interrupt_when=lambda: len(silent.events("console-open")) > opened,
                         interrupt_with=signal.SIGHUP)
        # parallel notes the hang-up on standard error, for a terminal that is gone.
        self.assertEqual(run.status, 1, run)
        self.assertEqual(run.stdout, f"3 printers: 2 ok, 1 failed\n  {address(3)}  Could not get lpstat\n"
                                     f"Records: {out}/summary.tsv\n")
        self.assertEqual(self.bed.printers[1].events("login")[-1]["ok"], True)
        self.assertClean(out, run, [address(i) for i in (3, 0, 1)])

    def test_lpstat_of_each_printer_in_its_own_folder(self):
        out = self.scratch.path("lpstat-out")
        run = self.fleet(["-m", "k", "-o", out, "fw-update.exe", "-"], stdin=LINES.encode(), watch=True,
                         env_path=self.path_without("parallel"))
        self.assertEqual((run.status, run.stderr), (0, ""), run)
        self.assertEqual(run.stdout, f"3 printers: 3 ok, 0 failed\nRecords: {out}/summary.tsv\n")
        rows = summary(out)
        self.assertEqual(rows[0], ["address", "result", "seconds", "message", "before", "after", "bundle"])
        self.assertEqual([(r[0], r[1], r[3], r[4], r[5]) for r in rows[1:]],
                         [(address(i), "ok", "", "", "") for i in range(3)])
        for i, state in enumerate((IDLE, DOWNLOAD, IDLE)):
            with self.subTest(printer=i):
                records = files_under(os.path.join(out, "printers", address(i)))
                self.assertEqual(records["stdout"].decode(), " lpstat\r\n" + LPSTAT.format(state) + "holm-printer> ")
                self.assertEqual((records["stderr"], records["status"]), (b"", b"0\n"))
                self.assertEqual([(e["login"], e["ok"]) for e in self.bed.printers[i].events("login")][-1:],
                                 [("admin" if i == 1 else "root", True)])
        self.assertClean(out, run, [address(i) for i in range(3)])

    def test_booting_printer_fails_and_is_retried_alone(self):
        self.bed.restart(2, ["--password", PASSWORDS[2], "--booting"])
        out = self.scratch.path("check-out")
        args = ["-d", "-m", "l", "-o", out, "fw-update.exe", "printers.txt"]
        run = self.fleet(args)
        # "Printer is booting" is no error line: the status tells.
        self.assertEqual((run.status, run.stderr), (1, ""), run)
        self.assertEqual(run.stdout, f"3 printers: 2 ok, 1 failed\n  {address(2)}  exit status 1\n"
                                     f"Records: {out}/summary.tsv\n")
        self.assertEqual([r[1] for r in summary(out)[1:]], ["ok", "ok", "failed"])
        with open(os.path.join(out, "printers", address(2), "stdout")) as f:
            self.assertEqual(f.read(), "pttttttt\nPrinter is booting\nf\n")
        kept = {i: files_under(os.path.join(out, "printers", address(i))) for i in (0, 1)}
        before = self.events()
        self.bed.restart(2, ["--password", PASSWORDS[2]])
        run = self.fleet(["--retry-failed"] + args, watch=True)
        self.assertEqual((run.status, run.stderr), (0, ""), run)
        self.assertEqual(run.stdout, f"3 printers: 3 ok, 0 failed\nRecords: {out}/summary.tsv\n")
        rows = summary(out)
        self.assertEqual([r[1] for r in rows[1:]], ["ok"] * 3)
        self.assertEqual(self.events()[:2], before[:2])
        self.assertEqual({i: files_under(os.path.join(out, "printers", address(i))) for i in (0, 1)}, kept)
        with open(os.path.join(out, "printers", address(2), "stdout")) as f:
            self.assertEqual(f.read(), "pttttttt\nPrinter is running\ns\n")
        self.assertClean(out, run, [address(2)])

    def test_bundle_swapped_during_a_run_is_never_run(self):
        # One printer at a time; once the first has its job, BUNDLE is
        # replaced (a new file renamed over it), or the link named as
        # BUNDLE is re-pointed: the later printers still get the checked bytes.
        path = self.scratch.path
        checked, swapped = b"the checked job\n", b"a job swapped in\n"
        make_bundle(path("swap-a.exe"), [("job.txt", checked)])
        make_bundle(path("swap-b.exe"), [("job.txt", swapped)])
        steady = (ON_NEW, ON_OLD, WITHOUT_IPP)
        lines = "".join(f"{address(i)}\n" for i in steady).encode()
        printers = [self.bed.printers[i] for i in steady]
        first = printers[0]

        def replace_file():
            shutil.copy2(path("swap-b.exe"), path("swap-new.exe"))
            os.replace(path("swap-new.exe"), path("swap-file.exe"))

        def repoint_link():
            os.symlink("swap-b.exe", path("swap-link.new"))
            os.replace(path("swap-link.new"), path("swap-link.exe"))

        shutil.copy2(path("swap-a.exe"), path("swap-file.exe"))
        os.symlink("swap-a.exe", path("swap-link.exe"))
        for bundle, swap in (("swap-file.exe", replace_file), ("swap-link.exe", repoint_link)):
            with self.subTest(bundle):
                jobs = [p.raw_jobs() for p in printers]
                done = []

                def swap_after_first_job():
                    if not done and len(first.raw_jobs()) > len(jobs[0]):
                        swap()
                        done.append(True)
                    return False

                out = path(bundle + ".out")
                run = self.fleet(["-j", "1", "-o", out, bundle, "-"], stdin=lines, interrupt_when=swap_after_first_job)
                self.assertEqual((run.status, run.stderr), (0, ""), run)
                self.assertEqual(done, [True])
                self.assertEqual([p.raw_jobs()[len(before):] for p, before in zip(printers, jobs)],
                                 [[checked]] * 3)
                with open(path(bundle), "rb") as f, open(path("swap-b.exe"), "rb") as b:
                    self.assertEqual(f.read(), b.read())

    def test_read_one_printer_as_a_run_would(self):
        def read(when, i, firmware=f"main={NEW}"):
            done = self.bed.run([FLEET, "--read", when, "--firmware", firmware, address(i)], timeout=60)
            return done.returncode, json.loads(done.stdout), done.stderr

        def state(when, i, result, message="", version=""):
            return {"address": address(i), "when": when, "result": result, "message": message, "version": version,
                    "model": "", "bundle": ""}

        before = self.events()
        self.assertEqual(read("before", ON_NEW), (0, state("before", ON_NEW, "current", version=NEW), b""))
        self.assertEqual(read("before", ON_OLD), (0, state("before", ON_OLD, "to deliver", version=OLD), b""))
        self.assertEqual(read("before", ON_NEW, "2.0"), (0, state("before", ON_NEW, "current", version=NEW), b""))
        status, said, _ = read("before", WITHOUT_IPP)
        self.assertEqual((status, said["result"], said["version"]), (1, "failed", ""))
        self.assertRegex(said["message"], r"^no firmware version before the delivery: no IPP answer \(Unable to "
                                          f'connect to "{re.escape(address(WITHOUT_IPP))}" on port 631 - ')
        self.assertEqual(read("before", ON_NEW, "fax=2.0")[:2],
                         (1, state("before", ON_NEW, "failed", "no firmware version before the delivery: "
                                                               "no firmware named fax")))
        self.assertEqual(read("after", ON_NEW), (0, state("after", ON_NEW, "ok", version=NEW), b""))
        self.assertEqual(read("after", ON_OLD)[:2],
                         (1, state("after", ON_OLD, "failed", f"still {OLD} after the delivery", OLD)))
        # Only IPP reached the printers.
        self.assertEqual([[e["event"] for e in events[len(before[i]):] if e["event"] != "ipp"]
                          for i, events in enumerate(self.events())], [[]] * len(before))

    def test_firmware_plan_delivery_and_retry(self):
        out = self.scratch.path("firmware-out")
        printers = "".join(f"{address(i)}\n" for i in range(4, 10)).encode()
        args = ["-d", "--firmware", f"main={NEW}", "-o", out, "fw-update.exe", "-"]
        image = FIRMWARE[0][1]
        no_ipp = re.escape(f'no firmware version before the delivery: no IPP answer (Unable to connect to '
                           f'"{address(NO_IPP)}" on port 631 - ') + r"[\w ]+\)"

        def listed(*lines):
            """The closing lines as a pattern: (printer, pattern) for each listed one."""
            return "".join(f"  {re.escape(address(i).ljust(11))}  {line}\n" for i, line in lines)

        def contacts(before):
            """What each printer saw since before, IPP requests left out."""
            return {i: [e["event"] for e in events[len(before[i]):] if e["event"] != "ipp"]
                    for i, events in enumerate(self.events()) if 4 <= i < 10}

        # The plan reads the versions and sends nothing else.
        before = self.events()
        plan_out = self.scratch.path("plan-out")
        plan = ["-d", "--firmware", f"main={NEW}", "--plan", "-o", plan_out, "fw-update.exe", "-"]
        run = self.fleet(plan, stdin=printers, watch=True, env_path=self.path_without("ipptool"))
        self.assertEqual((run.status, run.stderr), (1, ""), run)
        to_deliver = re.escape(f"to deliver, runs {OLD}")
        self.assertRegex(run.stdout, "^6 printers: 1 current, 4 to deliver, 1 failed\n" + listed(
            (STAYS_OLD, to_deliver), (NO_IPP, no_ipp), (7, to_deliver), (8, to_deliver), (IPP_GONE, to_deliver))
            + re.escape(f"Records: {plan_out}/summary.tsv\n") + "$")
        self.assertEqual([(r[1], r[4], r[5]) for r in summary(plan_out)[1:]],
                         [("current", NEW, ""), ("to deliver", OLD, ""), ("failed", "", "")]
                         + [("to deliver", OLD, "")] * 3)
        self.assertEqual(contacts(before), {i: [] for i in range(4, 10)})
        self.assertClean(plan_out, run, [])

        # The delivery: the current printer and the one without IPP are not
        # contacted; the one that restarts on its old version fails, and so
        # does the one whose version cannot be read after (two minutes on).
        before = self.events()
        run = self.fleet(args, stdin=printers, watch=True)
        self.assertEqual((run.status, run.stderr), (1, ""), run)
        self.assertRegex(run.stdout, "^6 printers: 2 ok, 1 current, 3 failed\n" + listed(
            (STAYS_OLD, re.escape(f"still {OLD} after the delivery")), (NO_IPP, no_ipp),
            (IPP_GONE, "no firmware version after the delivery")) + re.escape(f"Records: {out}/summary.tsv\n") + "$")
        rows = summary(out)
        self.assertEqual([(r[0], r[1], r[4], r[5]) for r in rows[1:]],
                         [(address(CURRENT), "current", NEW, ""), (address(STAYS_OLD), "failed", OLD, OLD),
                          (address(NO_IPP), "failed", "", ""), (address(7), "ok", OLD, NEW),
                          (address(8), "ok", OLD, NEW), (address(IPP_GONE), "failed", OLD, "")])
        seen = contacts(before)
        self.assertEqual((seen[CURRENT], seen[NO_IPP]), ([], []))
        delivered = (STAYS_OLD,) + TAKES_IT + (IPP_GONE,)
        for i in delivered:
            self.assertEqual(self.bed.printers[i].raw_jobs(), [image], i)
        self.assertClean(out, run, [address(i) for i in delivered])

        # A retry is made the way the run was.
        run = self.fleet(["--retry-failed"] + args[:1] + args[3:], stdin=printers)
        self.assertEqual((run.status, run.stdout, run.stderr), (2, "", f"holm-fleet: the last run in {out} was "
                         f"made with --firmware main={NEW}; retry it the same way\n"))

        # Mended, the three failed are read again: two get the bundle, the
        # one whose IPP is back already runs the new version.
        for i in (STAYS_OLD, NO_IPP, IPP_GONE):
            self.bed.restart(i, TAKES_NEW)
        before = self.events()
        run = self.fleet(["--retry-failed"] + args, stdin=printers, watch=True)
        self.assertEqual((run.status, run.stderr), (0, ""), run)
        self.assertEqual(run.stdout, f"6 printers: 4 ok, 2 current, 0 failed\nRecords: {out}/summary.tsv\n")
        again = summary(out)
        self.assertEqual([(r[1], r[4], r[5]) for r in again[1:]],
                         [("current", NEW, "")] + [("ok", OLD, NEW)] * 4 + [("current", NEW, "")])
        self.assertEqual([again[i] for i in (1, 4, 5)], [rows[i] for i in (1, 4, 5)])
        self.assertEqual([self.events()[i] for i in (CURRENT,) + TAKES_IT], [before[i] for i in (CURRENT,) + TAKES_IT])
        self.assertEqual(contacts(before)[IPP_GONE], [])
        self.assertEqual(self.bed.printers[NO_IPP].raw_jobs(), [image])
        self.assertClean(out, run, [address(STAYS_OLD), address(NO_IPP)])

if __name__ == "__main__":
    unittest.main()
