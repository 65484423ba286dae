"""The old holm-fleet (the bash script of 52be62b) against the new one (a
program of its own), in one run: each with one printer alone, then with
each size of fleet at once (-j equal to the size), every printer restarting
for 30 s after its image. Prints one line a program and size, and closes
with the new program's targets. Started by bench/fleet.sh, as root.

The printers are simulator processes (bench/fleet_sim.py, a share of the
addresses each) in a namespace of their own; the control namespace reaches
them through one veth pair and a route. What each holm-fleet costs by
itself, without the bundles it runs, is measured by bench/fleet_meter.py.
"""
import argparse
import collections
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile

import fleet_bed
import fleet_meter

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
OLD_REVISION = "52be62b"
MAGIC = b"qUoRdaViNe"
MIB = 2**20
# The new program's targets: printers, what, the test on the figures of the
# new and the old program, and the figure shown for each.
TARGETS = [
    (1000, "at most 1.06 x one printer", lambda new, old: new["ratio"] <= 1.06,
     lambda r: f"{r['ratio']:.2f} x"),
    (1000, "own CPU at most a tenth of the old one's", lambda new, old: new["own_cpu"] <= old["own_cpu"] / 10,
     lambda r: f"{r['own_cpu']:.2f} s"),
    (1000, "own memory under 64 MiB", lambda new, old: new["own_memory_mib"] < 64,
     lambda r: f"{r['own_memory_mib']:.1f} MiB"),
    (10000, "at most 1.3 x one printer", lambda new, old: new["ratio"] <= 1.3,
     lambda r: f"{r['ratio']:.2f} x"),
    (10000, "every printer's image exactly once", lambda new, old: new["exactly_once"],
     lambda r: f"{r['once']} of {r['printers']} once"),
]


def old_program(scratch):
    """The bash holm-fleet as it stood at OLD_REVISION, in a file of its own."""
    path = os.path.join(scratch, "holm-fleet-old")
    text = subprocess.run(["git", "-C", REPO, "show", f"{OLD_REVISION}:tools/holm-fleet"], check=True,
                          capture_output=True).stdout
    with open(path, "wb") as f:
        f.write(text)
    os.chmod(path, 0o755)
    return path


def make_bundle(build, scratch, image_kib):
    image = MAGIC + bytes((i * 131 + i // 4099) % 256 for i in range(image_kib * 1024 - len(MAGIC)))
    os.makedirs(os.path.join(scratch, "fw"))
    with open(os.path.join(scratch, "fw", "image.bin"), "wb") as f:
        f.write(image)
    bundle = os.path.join(scratch, "fw-update.exe")
    subprocess.run([os.path.join(build, "holm-pack"), "-o", bundle, "-s", os.path.join(build, "holm"),
                    "-C", scratch, "fw/image.bin"], check=True, capture_output=True)
    return bundle, len(image), hashlib.sha256(image).hexdigest()


def deliveries(bed, image_size, image_digest, first, count):
    """How many printers of the run got their image whole exactly once, none
    or more than once, and whether anything else arrived anywhere."""
    got = collections.defaultdict(list)
    for addr, size, digest in bed.jobs():
        got[addr].append((int(size), digest))
    wanted = {fleet_bed.address(first + i) for i in range(count)}
    whole = (image_size, image_digest)
    once = sum(got.get(a) == [whole] for a in wanted)
    none = sum(a not in got for a in wanted)
    stray = sum(any(d != whole for d in got[a]) for a in got) + len(set(got) - wanted)
    return {"once": once, "none": none, "more": count - once - none, "stray": stray,
            "exactly_once": once == count and stray == 0}


def records(out):
    """From the run's records: results, the commonest failures, and how
    long the starts of the printers spread over (from the joblog)."""
    figures = {"results": {}, "failures": [], "started_within": None}
    try:
        with open(os.path.join(out, "summary.tsv")) as f:
            rows = [line.rstrip("\n").split("\t") for line in f][1:]
        figures["results"] = dict(collections.Counter(r[1] for r in rows))
        figures["failures"] = collections.Counter(r[3] for r in rows if r[1] == "failed").most_common(3)
        with open(os.path.join(out, "joblog")) as f:
            starts = [float(line.split("\t")[2]) for line in list(f)[1:]]
        figures["started_within"] = round(max(starts) - min(starts), 2) if starts else None
    except (OSError, IndexError, ValueError) as e:
        figures["unreadable"] = str(e)
    return figures


def run(args, bed, label, program, bundle, image, first, count):
    """One run of a program with count printers from first on, on a machine
    as quiet as others let it be."""
    name = f"{label}-{count}"
    with open(os.path.join(args.scratch, name + ".txt"), "w") as f:
        f.write("".join(fleet_bed.address(first + i) + "\n" for i in range(count)))
    waited, quiet = fleet_meter.wait_for_quiet()
    load = os.getloadavg()[0]
    bed.start(first, count, args.per_sim, args.down_seconds, args.restart_delay)
    busy = fleet_meter.machine_busy()
    try:
        seconds, ran, meter = fleet_meter.metered(
            args.holm_bench, bed.tool, bundle, program + ["-j", str(count), "-o", name + ".out", bundle, name + ".txt"],
            args.scratch, timeout=600 + count // 4)
        busy = fleet_meter.machine_busy() - busy
        delivered = deliveries(bed, *image, first, count)
    finally:
        sims = bed.stop()
    report = os.path.join(args.scratch, name + ".out", "report.html")
    if args.keep_reports and os.path.exists(report):
        os.makedirs(args.keep_reports, exist_ok=True)
        shutil.copyfile(report, os.path.join(args.keep_reports, name + ".html"))
    own, bundles = meter["own"], meter["bundles"]
    figure = {"program": label, "printers": count, "seconds": round(seconds, 1), "status": meter["meter"]["status"],
              "own_cpu": round(own["cpu"], 2), "own_cpu_user": round(own["cpu_user"], 2),
              "own_cpu_sys": round(own["cpu_sys"], 2),
              "own_memory_mib": round(own["but_cache_peak"] / MIB, 1),
              "own_charged_mib": round(own["memory_peak"] / MIB, 1),
              "own_charged_sampled_mib": round(own["sampled_peak"] / MIB, 1),
              "own_kernel_mib": round(own["kernel_peak"] / MIB, 1),
              "own_anonymous_mib": round(own["anonymous_peak"] / MIB, 1),
              "own_cache_at_end_mib": round(own["cache_at_end"] / MIB, 1),
              "bundles_cpu": round(bundles["cpu"], 2), "bundles_memory_mib": round(bundles["memory_peak"] / MIB, 1),
              "at_once": bundles["at_once"], "bundles_started": meter["meter"]["bundles"],
              "simulators_cpu": round(sims, 2), "machine_busy": round(busy, 1),
              "harness_cpu": round(meter["harness_cpu"], 1),
              "others_cpu": round(busy - own["cpu"] - bundles["cpu"] - sims - meter["meter"]["cpu"]
                                  - meter["harness_cpu"], 1),
              "load_at_start": round(load, 1), "waited_for_quiet": round(waited), "quiet_at_start": quiet,
              "meter": meter["meter"], **delivered, **records(os.path.join(args.scratch, name + ".out"))}
    if figure["status"] not in (0, 1):
        figure["stderr"] = ran.stderr[-1000:]
    return figure


def show(figure):
    results = figure["results"]
    outcome = ", ".join(f"{n} {r}" for r, n in sorted(results.items())) or "no summary"
    print(f"{figure['program']:4} {figure['printers']:6} printers {figure['seconds']:7.1f} s {figure['ratio']:5.2f} x alone"
          f" | own CPU {figure['own_cpu']:7.2f} s, memory {figure['own_memory_mib']:6.1f} MiB"
          f" ({figure['own_charged_mib']:.1f} with page cache) | {figure['at_once']:5} at once"
          f" | exactly once: {'yes' if figure['exactly_once'] else 'NO'} ({figure['once']} once, {figure['none']} none,"
          f" {figure['more']} more) | {outcome} | others' CPU {figure['others_cpu']:.0f} s", flush=True)
    for message, n in figure["failures"]:
        print(f"       {n} failed: {message}", flush=True)
    if not figure["quiet_at_start"]:
        print(f"       the machine was still busy with other work after {figure['waited_for_quiet']} s of waiting",
              flush=True)
    if "stderr" in figure:
        print(f"       status {figure['status']}: {figure['stderr'].strip()[-300:]}", flush=True)


def verdicts(results):
    """The closing comparison: each target, the new program's figure and the
    old one's beside it."""
    by = {(r["program"], r["printers"]): r for r in results}
    lines, met = [], []
    for printers, what, test, shown in TARGETS:
        new, old = by.get(("new", printers)), by.get(("old", printers))
        if new is None or old is None:
            continue
        ok = bool(test(new, old))
        bare = by.get(("bare", printers))
        met.append({"printers": printers, "target": what, "met": ok, "new": shown(new), "old": shown(old),
                    "bare": shown(bare) if bare else None})
        lines.append(f"  {printers:6} printers, {what + ':':42} {'met' if ok else 'NOT met':7}"
                     f"  new {shown(new)}, old {shown(old)}" + (f", bare {shown(bare)}" if bare else ""))
    return lines, met


def parse():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", required=True, help="the build folder with holm, holm-pack and holm-bench")
    p.add_argument("--old", help=f"the old holm-fleet (default: tools/holm-fleet of {OLD_REVISION}, from git)")
    p.add_argument("--new", help="the new holm-fleet (default: holm-fleet in the build folder)")
    p.add_argument("--sizes", default="1000,10000", help="fleet sizes, comma-separated (default 1000,10000)")
    p.add_argument("--down-seconds", type=float, default=30.0, help="how long a printer restarts (default 30)")
    p.add_argument("--restart-delay", type=float, default=2.0,
                   help="how long a printer answers after its image before it goes down (default 2); while it "
                        "answers, each bundle probes it without pause, up to 500 times")
    p.add_argument("--old-side", action=argparse.BooleanOptionalAction, default=True,
                   help="run the old program as well (default on)")
    p.add_argument("--image-kib", type=int, default=256)
    p.add_argument("--per-sim", type=int, default=1000, help="printers a simulator process (default 1000)")
    p.add_argument("--ping-sockets", choices=("allowed", "default"), default="allowed",
                   help="ICMP ping sockets in the control namespace (default allowed)")
    p.add_argument("--bare", action=argparse.BooleanOptionalAction, default=True,
                   help="also run a bare launcher (holm-bench bare: posix_spawn and wait, nothing else), "
                        "the least any fleet program can take on this machine today (default on)")
    p.add_argument("--json", help="write the figures to this file as well")
    p.add_argument("--keep-reports", metavar="DIR",
                   help="copy each run's report.html here (NAME-COUNT.html), to be measured by bench/report.py --file")
    args = p.parse_args()
    args.sizes = [int(s) for s in args.sizes.split(",")]
    args.holm_bench = os.path.abspath(os.path.join(args.build, "holm-bench"))
    args.new = os.path.abspath(args.new or os.path.join(args.build, "holm-fleet"))
    if not os.access(args.new, os.X_OK):
        p.error(f"no new holm-fleet at {args.new} (build it, or name one with --new)")
    return args


def main():
    args = parse()
    why = fleet_meter.available()
    if why:
        sys.exit(f"fleet benchmark: {why}")
    # A stop by signal still cleans up (namespaces, simulators, cgroups).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    args.scratch = tempfile.mkdtemp(prefix="holm-fleet-bench-")
    bed = None
    try:
        old = os.path.abspath(args.old) if args.old else old_program(args.scratch)
        programs = ([("old", [old])] if args.old_side else []) + [("new", [args.new])]
        if args.bare:
            # The floor of the day: bundles started and reaped, nothing more.
            programs.append(("bare", [args.holm_bench, "bare"]))
        print(f"old: {old}\nnew: {args.new}" + ("  (the same program on both sides)" if
                                               os.path.realpath(old) == os.path.realpath(args.new) else ""))
        control = fleet_meter.control(args.holm_bench, args.scratch)
        print(f"meter control: own CPU {control['own_cpu']:.2f} s of {control['own_cpu_burnt']:.2f} burnt, "
              f"bundles {control['bundles_cpu']:.2f} s of {control['bundles_cpu_burnt']:.2f}; own memory "
              f"{control['own_mib']:.1f} MiB of {control['own_mib_held']} held while the bundles held "
              f"{control['bundles_mib']:.0f} MiB; {control['at_once']} bundles at once of {control['count']}: "
              f"{'sound' if control['sound'] else 'NOT SOUND'}", flush=True)
        bundle, size, digest = make_bundle(args.build, args.scratch, args.image_kib)
        # Read once here, so that its pages are charged to no program measured.
        with open(bundle, "rb") as f:
            f.read()
        os.environ["PATH"] = os.path.abspath(args.build) + os.pathsep + os.environ["PATH"]  # holm-pack
        bed = fleet_bed.Bed(args.scratch, len(programs) * (1 + sum(args.sizes)), args.ping_sockets == "allowed")
        results, alone, first = [], {}, 0
        for count in [1] + args.sizes:
            for label, program in programs:
                figure = run(args, bed, label, program, bundle, (size, digest), first, count)
                first += count
                alone.setdefault(label, figure["seconds"])
                figure["ratio"] = round(figure["seconds"] / alone[label], 2)
                results.append(figure)
                show(figure)
        lines, met = verdicts(results)
        print("The new program's targets:")
        print("\n".join(lines))
    finally:
        if bed is not None:
            bed.close()
        shutil.rmtree(args.scratch, ignore_errors=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"control": control, "runs": results, "targets": met}, f, indent=1)


if __name__ == "__main__":
    main()
