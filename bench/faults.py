"""Faults holm-fleet survives, on simulated printers (tests/e2e/fleetbed.py:
a network namespace and one simulator each), every one on firmware main=1.0
and taking main=2.0 from the image. Started by bench/faults.sh, as root.

Kills: one undisturbed run is timed first; then each trial, on a fresh bed
and into a fresh DIR, starts `holm-fleet -j J --firmware main=2.0 -o DIR
BUNDLE PRINTERS`, sends SIGKILL to holm-fleet's own process alone at a
random moment within that time (the bundles it started live on), and runs
one `--retry-failed` with the same arguments to its end. The simulators'
logs then tell which printers got the whole image twice and which are left
without it (not on 2.0, or no whole image received).

Loss: one whole run with no loss, one with one packet in N dropped on
every printer's link (nftables, on the printer's input hook).
"""
import argparse
import collections
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))

import fleetbed  # noqa: E402
from fleetbed import Printer  # noqa: E402

MAGIC = b"qUoRdaViNe"
OLD, NEW = "1.0", "2.0"
RUN_TIMEOUT = 900  # one holm-fleet run, killed beyond it
DRAIN_TIMEOUT = 300  # bundles still running after a run has ended


def say(text):
    print(text, file=sys.stderr, flush=True)


class Work:
    """The scratch folder and everything to undo, in reverse order, also
    when the benchmark is interrupted; and the sessions of the holm-fleet
    runs started, whose bundles outlive a killed holm-fleet."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="holm-faults-")
        self.sessions = []
        self._cleanups = [(shutil.rmtree, (self.dir, True))]

    def addCleanup(self, function, *args):
        self._cleanups.append((function, args))

    def close(self):
        kill_sessions(self.sessions)
        for function, args in reversed(self._cleanups):
            try:
                function(*args)
            except Exception as e:  # the rest must still be undone
                say(f"cleanup: {e}")


class Case:
    """What FleetBed needs of a test case: a folder of its own and cleanups."""

    def __init__(self, work, name):
        self.dir = os.path.join(work.dir, name)
        os.makedirs(self.dir)
        self.addCleanup = work.addCleanup


def session_members(sid):
    """The processes of session sid: a run's holm-fleet and its bundles
    (each run is started as a session of its own; the bundles keep it)."""
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if int(fields[3]) == sid and fields[0] != "Z":
            found.append(int(name))
    return found


def kill_sessions(sessions):
    for sid in sessions:
        for pid in session_members(sid):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


def drain(work, sessions, timeout=DRAIN_TIMEOUT):
    """Waits until no process of these sessions is left; kills what is
    left after timeout and says how many that was. The sessions are then
    forgotten: their numbers may come back as other processes' pids."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and any(session_members(s) for s in sessions):
        time.sleep(0.2)
    left = sum(len(session_members(s)) for s in sessions)
    kill_sessions(sessions)
    for s in sessions:
        work.sessions.remove(s)
    return left


def make_bundle(build, work, image_kib):
    """A bundle of holm and one firmware image (the magic at its start makes
    holm log in, put the printer into download mode and wait for its restart)."""
    image = MAGIC + bytes((i * 131 + i // 4099) % 256 for i in range(image_kib * 1024 - len(MAGIC)))
    os.makedirs(os.path.join(work.dir, "fw"))
    with open(os.path.join(work.dir, "fw", "image.bin"), "wb") as f:
        f.write(image)
    bundle = os.path.join(work.dir, "fw-update.exe")
    subprocess.run([os.path.join(build, "holm-pack"), "-o", bundle, "-s", os.path.join(build, "holm"),
                    "-C", work.dir, "fw/image.bin"], check=True, capture_output=True, timeout=60)
    return bundle, image


class Bed:
    """A fresh bed of printers on 1.0, its list of printers and its folder."""

    def __init__(self, args, work, name, loss=0):
        started = time.monotonic()
        sim = ["--firmware", f"main={OLD}", "--installs", f"main={NEW}",
               "--restart-delay", str(args.restart_delay), "--down-seconds", str(args.down_seconds)]
        self.case = Case(work, name)
        self.fleet = fleetbed.FleetBed(self.case, [Printer(sim, loss=loss) for _ in range(args.printers)])
        self.printers = os.path.join(self.case.dir, "printers.txt")
        with open(self.printers, "w") as f:
            f.write("".join(p.address + "\n" for p in self.fleet.printers))
        self.seconds = time.monotonic() - started

    def close(self):
        self.fleet.close()
        shutil.rmtree(self.case.dir, ignore_errors=True)


def fleet_command(args, bundle, bed, out, retry=False):
    return ([args.fleet, "-j", str(args.jobs), "--firmware", f"main={NEW}"] + (["--retry-failed"] if retry else [])
            + ["-o", out, bundle, bed.printers])


def start(work, bed, command, name):
    """holm-fleet in the bed's tool namespace, a session of its own, its
    output in files (a killed run's bundles may still hold them)."""
    cwd = bed.case.dir
    tmp = os.path.join(cwd, "tmp")
    os.makedirs(tmp, exist_ok=True)
    env = dict(os.environ, TMPDIR=tmp)
    with open(os.path.join(cwd, name + ".stdout"), "wb") as out, open(os.path.join(cwd, name + ".stderr"), "wb") as err:
        # ip netns exec executes the command in place: the pid is holm-fleet's.
        process = bed.fleet.popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                  start_new_session=True)
    work.sessions.append(process.pid)
    return process


def finish(process, started, timeout=RUN_TIMEOUT):
    """The run's exit status and wall time (None: killed after timeout)."""
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.kill(process.pid, signal.SIGKILL)
        process.wait()
        return None, time.monotonic() - started
    return process.returncode, time.monotonic() - started


def output(bed, name, kind):
    with open(os.path.join(bed.case.dir, f"{name}.{kind}"), "rb") as f:
        return f.read().decode("latin-1")


def results(out):
    """{result: count} from DIR/summary.tsv; None when there is none."""
    try:
        with open(os.path.join(out, "summary.tsv")) as f:
            rows = [line.rstrip("\n").split("\t") for line in f][1:]
    except OSError:
        return None
    return dict(collections.Counter(r[1] if len(r) > 1 else "?" for r in rows))


def failures(out, most=3):
    """The commonest messages of the failed printers: [(message, count)]."""
    try:
        with open(os.path.join(out, "summary.tsv")) as f:
            rows = [line.rstrip("\n").split("\t") for line in f][1:]
    except OSError:
        return []
    return collections.Counter(r[3] for r in rows if len(r) > 3 and r[1] == "failed").most_common(most)


def settle(bed, timeout=120):
    """Waits until no simulator is in the middle of a restart."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if all(len(p.events("restart")) == len(p.events("up")) for p in bed.fleet.printers):
            return True
        time.sleep(0.5)
    return False


def firmware(printer):
    """The main firmware the printer holds, as its IPP service reports it."""
    try:
        with open(os.path.join(printer.dir, "state.json")) as f:
            held = dict(tuple(x) for x in json.load(f)["firmware"])
    except FileNotFoundError:
        return OLD  # never saved: what it started with
    except (OSError, ValueError, KeyError) as e:
        return f"unreadable ({e})"
    return held.get("main")


def deliveries(bed, image):
    """Printers given the whole image twice or more, printers left without
    it (not on 2.0, or no whole image), and cut images (a print-port
    connection that was not the whole image)."""
    twice, without, cut = [], [], 0
    for p in bed.fleet.printers:
        jobs = p.raw_jobs()
        whole = sum(j == image for j in jobs)
        cut += len(jobs) - whole
        if whole >= 2:
            twice.append(p.address)
        if whole == 0 or firmware(p) != NEW:
            without.append(p.address)
    return {"twice": len(twice), "without_image": len(without), "cut_images": cut,
            "twice_at": twice[:5], "without_at": without[:5]}


def whole_run(args, work, bundle, image, name, loss=0):
    """One run on a fresh bed, undisturbed: its time, results and deliveries."""
    bed = Bed(args, work, name, loss)
    try:
        say(f"{name}: bed of {args.printers} printers in {bed.seconds:.0f} s; running")
        out = os.path.join(bed.case.dir, "run")
        started = time.monotonic()
        status, seconds = finish(start(work, bed, fleet_command(args, bundle, bed, out), "run"), started)
        leftover = drain(work, work.sessions[-1:])
        settle(bed)
        figure = {"status": status, "seconds": round(seconds, 1), "results": results(out),
                  "failures": failures(out), "leftover_bundles": leftover, **deliveries(bed, image)}
        if status not in (0, 1):
            figure["stderr"] = output(bed, "run", "stderr")[-500:]
        say(f"{name}: {shown_results(figure['results'])} in {seconds:.1f} s, status {status}")
        return figure
    finally:
        bed.close()


def wait_until_fleet(process, program):
    """Until the started pid runs holm-fleet itself (not yet the ip command
    that executes it), so that the kill hits holm-fleet and nothing else."""
    while process.poll() is None:
        try:
            if os.path.realpath(f"/proc/{process.pid}/exe") == os.path.realpath(program):
                return True
        except OSError:
            pass
        time.sleep(0.001)
    return False


def trial(args, work, bundle, image, number, kill_at):
    """A run killed at kill_at seconds, then one retry to its end."""
    bed = Bed(args, work, f"trial{number}")
    try:
        say(f"trial {number}: bed in {bed.seconds:.0f} s; kill at {kill_at:.2f} s")
        out = os.path.join(bed.case.dir, "run")
        command = fleet_command(args, bundle, bed, out)
        started = time.monotonic()
        run = start(work, bed, command, "run")
        killed_run = work.sessions[-1]
        figure = {"trial": number, "kill_at": round(kill_at, 2)}
        if not wait_until_fleet(run, args.fleet) or run.poll() is not None:
            raise RuntimeError(f"holm-fleet ended at once: {output(bed, 'run', 'stderr')[-500:]}")
        try:
            run.wait(timeout=max(0.0, started + kill_at - time.monotonic()))
            figure["killed"] = False  # it ended before the moment came
        except subprocess.TimeoutExpired:
            os.kill(run.pid, signal.SIGKILL)
            figure["killed"] = True
            figure["killed_at"] = round(time.monotonic() - started, 2)
            run.wait()
        figure["bundles_at_kill"] = len(session_members(killed_run))
        figure["summary_at_kill"] = results(out)
        retry_started = time.monotonic()
        status, seconds = finish(start(work, bed, fleet_command(args, bundle, bed, out, retry=True), "retry"),
                                 retry_started)
        figure["total_seconds"] = round(time.monotonic() - started, 1)
        figure["retry_status"], figure["retry_seconds"] = status, round(seconds, 1)
        figure["leftover_bundles"] = drain(work, [killed_run, work.sessions[-1]])
        figure["settled"] = settle(bed)
        figure["retry_results"] = results(out)
        figure["retry_failures"] = failures(out)
        # No summary after the retry: no printer is known to be done.
        figure["failed_in_retry"] = (args.printers if figure["retry_results"] is None else
                                     sum(n for r, n in figure["retry_results"].items() if r not in ("ok", "current")))
        figure.update(deliveries(bed, image))
        if status not in (0, 1):
            figure["retry_stderr"] = output(bed, "retry", "stderr")[-500:]
        say(f"trial {number}: retry status {status} in {seconds:.1f} s, {shown_results(figure['retry_results'])}; "
            f"{figure['twice']} twice, {figure['without_image']} without image")
        return figure
    finally:
        bed.close()


def shown_results(counts):
    if counts is None:
        return "no summary"
    return ", ".join(f"{n} {r}" for r, n in sorted(counts.items()))


def show_kills(args, seed, undisturbed, trials):
    """The trials as the table of docs/performance.md, then the totals."""
    print(f"Kills: {args.printers} printers, -j {args.jobs}, {args.image_kib} KiB image, restart "
          f"{args.restart_delay:g} s + down {args.down_seconds:g} s, seed {seed}")
    print(f"undisturbed run: {undisturbed['seconds']} s, {shown_results(undisturbed['results'])}, "
          f"{undisturbed['twice']} given twice, {undisturbed['without_image']} without image\n")
    print("| trial | kill at s | bundles left running | retry status | retry s | total s | given twice "
          "| without image | failed in retry | retry results |")
    print("|---" * 10 + "|")
    notes = []
    for t in trials:
        kill = f"{t['killed_at']:.2f}" if t["killed"] else f"{t['kill_at']:.2f} (ended before)"
        print(f"| {t['trial']} | {kill} | {t['bundles_at_kill']} | {t['retry_status']} | {t['retry_seconds']:.1f} "
              f"| {t['total_seconds']:.1f} | {t['twice']} | {t['without_image']} | {t['failed_in_retry']} "
              f"| {shown_results(t['retry_results'])} |")
        if "retry_stderr" in t:
            notes.append(f"trial {t['trial']}: the retry said: {t['retry_stderr'].strip()[-300:]}")
        for message, n in t["retry_failures"]:
            notes.append(f"trial {t['trial']}: {n} failed: {message}")
        if t["twice"] or t["without_image"]:
            notes.append(f"trial {t['trial']}: given twice e.g. {', '.join(t['twice_at']) or '-'}; "
                         f"without image e.g. {', '.join(t['without_at']) or '-'}")
        if t["leftover_bundles"] or not t["settled"]:
            notes.append(f"trial {t['trial']}: {t['leftover_bundles']} bundles still running {DRAIN_TIMEOUT} s "
                         f"after the retry (killed); printers settled: {t['settled']}")
    total = {k: sum(t[k] for t in trials) for k in ("twice", "without_image", "failed_in_retry", "cut_images")}
    total["seconds"] = round(sum(t["total_seconds"] for t in trials), 1)
    print(f"| all | | | | | {total['seconds']:.1f} | {total['twice']} | {total['without_image']} "
          f"| {total['failed_in_retry']} | |")
    notes.append(f"cut images (a print-port connection short of the whole image): {total['cut_images']}")
    print("\n" + "\n".join(notes) + "\n", flush=True)
    return total


def show_loss(args, runs):
    print(f"Loss: {args.printers} printers, -j {args.jobs}, one whole run each\n")
    print("| packets dropped | status | seconds | ok | current | failed | not started | given twice "
          "| without image |")
    print("|---" * 9 + "|")
    for label, r in runs:
        c = r["results"] or {}
        print(f"| {label} | {r['status']} | {r['seconds']:.1f} | {c.get('ok', 0)} | {c.get('current', 0)} "
              f"| {c.get('failed', 0)} | {c.get('not started', 0)} | {r['twice']} | {r['without_image']} |")
    for label, r in runs:
        for message, n in r["failures"]:
            print(f"{label}: {n} failed: {message}")
        if "stderr" in r:
            print(f"{label}: holm-fleet said: {r['stderr'].strip()[-300:]}")
    print(flush=True)


def parse():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", default=os.path.join(REPO, "build", "linux"),
                   help="the build folder with holm, holm-pack and holm-fleet (default build/linux)")
    p.add_argument("--printers", type=int, default=200, help="simulated printers (default 200)")
    p.add_argument("--trials", type=int, default=10, help="killed runs (default 10)")
    p.add_argument("-j", "--jobs", type=int, default=50,
                   help="holm-fleet -j (default 50: a quarter of the printers at once, so a kill finds "
                        "printers done, running and not started)")
    p.add_argument("--seed", type=int, help="for the kill moments (default: from the clock; printed)")
    p.add_argument("--restart-delay", type=float, default=1.0,
                   help="seconds a printer answers after its image (default 1)")
    p.add_argument("--down-seconds", type=float, default=3.0, help="seconds a printer's restart takes (default 3)")
    p.add_argument("--loss", type=int, default=10, help="drop one packet in this many (default 10: 10 %%)")
    p.add_argument("--image-kib", type=int, default=256)
    p.add_argument("--only", choices=("kills", "loss"), help="one measurement alone")
    p.add_argument("--json", help="write the figures to this file as well")
    args = p.parse_args()
    args.build = os.path.abspath(args.build)
    args.fleet = os.path.join(args.build, "holm-fleet")
    if not os.access(args.fleet, os.X_OK):
        p.error(f"no holm-fleet in {args.build}")
    if not 1 <= args.printers <= 2000 or args.trials < 0 or args.jobs < 1 or args.loss < 2:
        p.error("needs 1 to 2000 printers, trials >= 0, -j >= 1, --loss >= 2")
    return args


def main():
    args = parse()
    why = fleetbed.available()
    if why:
        sys.exit(f"faults benchmark: {why}")
    # A stop by signal still cleans up: processes, namespaces, folders.
    # SIGINT too when started in the background, where it came ignored.
    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, lambda n, _: sys.exit(128 + n))
    seed = args.seed if args.seed is not None else int(time.time() * 1000) % 2**31
    figures = {"settings": {k: getattr(args, k) for k in ("printers", "trials", "jobs", "restart_delay",
                                                          "down_seconds", "loss", "image_kib")}, "seed": seed}
    work = Work()
    survived = True
    try:
        bundle, image = make_bundle(args.build, work, args.image_kib)
        if args.only != "loss":
            say(f"seed {seed}")
            undisturbed = whole_run(args, work, bundle, image, "undisturbed")
            if undisturbed["status"] is None:
                sys.exit("faults benchmark: the undisturbed run did not end")
            moments = random.Random(seed)
            trials = [trial(args, work, bundle, image, n + 1, moments.uniform(0, undisturbed["seconds"]))
                      for n in range(args.trials)]
            total = show_kills(args, seed, undisturbed, trials)
            figures["kills"] = {"undisturbed": undisturbed, "trials": trials, "total": total}
            survived = total["twice"] == 0 and total["without_image"] == 0
        if args.only != "kills":
            runs = [("none", whole_run(args, work, bundle, image, "no-loss")),
                    (f"1 in {args.loss}", whole_run(args, work, bundle, image, "loss", loss=args.loss))]
            show_loss(args, runs)
            figures["loss"] = {label: r for label, r in runs}
    finally:
        work.close()
    if args.json:
        with open(args.json, "w") as f:
            json.dump(figures, f, indent=1)
    if not survived:
        print("Not survived: a printer was given its image twice or was left without it.")
        sys.exit(1)


if __name__ == "__main__":
    main()
