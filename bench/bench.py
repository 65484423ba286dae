"""Measures holm beside the tools a user would pick instead, in one run, and
prints the table. Started by bench/run.sh, which builds the programs.

Every figure is the median of several repetitions with its spread (the
lowest and highest), and the peers run interleaved with holm, repetition
by repetition, so that the machine's moods fall on all of them alike.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

GiB = 1 << 30
MiB = 1 << 20
PORT = 9100  # the program always sends to this port


class Bench:
    def __init__(self, args):
        self.build = os.path.abspath(args.build)
        self.holm = os.path.join(self.build, "holm")
        self.pack = os.path.join(self.build, "holm-pack")
        self.helper = os.path.join(self.build, "holm-bench")
        self.libs_only = os.path.join(self.build, "holm-bench-libs")
        self.reps = args.reps
        self.big_size = args.big_mib * MiB
        self.small_count = args.small_count
        self.dir = args.scratch


# ---- running and timing -------------------------------------------------

def run_timed(command, cwd=None, stdin=None):
    """Wall time of one run of command, its output discarded; fails loudly
    when the command does."""
    start = time.perf_counter()
    done = subprocess.run(command, cwd=cwd, stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    took = time.perf_counter() - start
    if done.returncode != 0:
        raise RuntimeError(f"{command} failed with status {done.returncode}: {done.stderr.decode()[-500:]}")
    return took


def interleaved(reps, subjects):
    """Runs each subject's measure once per repetition, the order turned by
    one place each time; returns {name: [values]}."""
    names = list(subjects)
    values = {name: [] for name in names}
    for rep in range(reps):
        for name in names[rep % len(names):] + names[:rep % len(names)]:
            values[name].append(subjects[name]())
    return values


def summary(values):
    return {"median": statistics.median(values), "low": min(values), "high": max(values), "n": len(values)}


def sync():
    os.sync()


# ---- the data ------------------------------------------------------------

def write_random(path, size):
    with open("/dev/urandom", "rb") as source, open(path, "wb") as out:
        left = size
        while left:
            chunk = source.read(min(left, 8 * MiB))
            out.write(chunk)
            left -= len(chunk)


def tree_bytes(root):
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(root) for f in fs)


def small_tree(root, count):
    """count files of 1 to 8 KiB in folders of 100, and their names."""
    names = []
    with open("/dev/urandom", "rb") as source:
        pool = source.read(8 * 1024 * 64)
    for i in range(count):
        name = f"tree/d{i // 100:03d}/f{i:05d}.bin"
        os.makedirs(os.path.join(root, os.path.dirname(name)), exist_ok=True)
        size = 1024 + (i * 7919) % (7 * 1024)
        start = (i * 4099) % (len(pool) - size)
        with open(os.path.join(root, name), "wb") as f:
            f.write(pool[start:start + size])
        names.append(name)
    return names


def prepare(b):
    os.makedirs(os.path.join(b.dir, "big"))
    write_random(os.path.join(b.dir, "big", "payload.bin"), b.big_size)
    subprocess.run([b.pack, "-o", "../big.exe", "payload.bin"], cwd=os.path.join(b.dir, "big"), check=True)
    os.makedirs(os.path.join(b.dir, "small"))
    names = small_tree(os.path.join(b.dir, "small"), b.small_count)
    subprocess.run([b.pack, "-o", "../small.exe", *names], cwd=os.path.join(b.dir, "small"), check=True)
    os.makedirs(os.path.join(b.dir, "empty"))
    shutil.copyfile(b.holm, os.path.join(b.dir, "empty", "empty.exe"))
    os.chmod(os.path.join(b.dir, "empty", "empty.exe"), 0o755)
    with zipfile.ZipFile(os.path.join(b.dir, "empty", "empty.exe"), "a"):
        pass  # appends an archive with no entries: its end record alone
    sync()


# ---- extraction ------------------------------------------------------------

def extraction(b, bundle, source, expect_bytes, reps, keep_outputs=False):
    """holm, unzip -o and cp of the same bytes, each into a fresh folder.

    keep_outputs leaves every run's folder in place until all have run: on
    a file system mounted with online discard, removing thousands of files
    makes the journal slow for the runs that follow, which would measure
    the removal of the last run rather than this one."""
    outputs = []

    def measure(command):
        def once():
            out = os.path.join(b.dir, f"out{len(outputs)}")
            outputs.append(out)
            os.mkdir(out)
            sync()
            took = run_timed(command, cwd=out)
            written = tree_bytes(out)
            if not keep_outputs:
                shutil.rmtree(out)
            sync()
            if written != expect_bytes:
                raise RuntimeError(f"{command} wrote {written} bytes, not {expect_bytes}")
            return took
        return once

    try:
        return interleaved(reps, {
            "holm": measure([os.path.join(b.dir, bundle)]),
            "unzip -o": measure(["unzip", "-o", os.path.join(b.dir, bundle)]),
            "cp": measure(["cp", "-r", "--reflink=never", os.path.join(b.dir, source), "."]),
        })
    finally:
        for out in outputs:
            shutil.rmtree(out, ignore_errors=True)
        sync()


# ---- memory -------------------------------------------------------------

def smaps(pid):
    fields = {}
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                parts = line.split()
                if len(parts) == 3 and parts[2] == "kB":
                    fields[parts[0].rstrip(":")] = int(parts[1]) * 1024
    except OSError:
        pass
    return fields


def peak_memory(command, cwd=None, stdin=None):
    """Peak resident, anonymous and private dirty bytes of one run, from
    smaps_rollup sampled every millisecond or so, and the kernel's own peak
    resident figure (maxrss, kept in the raw figures only: it counts the
    forked interpreter before the exec too, so a program smaller than this
    interpreter shows the interpreter's size)."""
    process = subprocess.Popen(command, cwd=cwd, stdin=stdin, stdout=subprocess.DEVNULL)
    peak = {"Rss": 0, "Anonymous": 0, "Private_Dirty": 0}
    while True:
        sample = smaps(process.pid)
        for key in peak:
            peak[key] = max(peak[key], sample.get(key, 0))
        pid, status, usage = os.wait4(process.pid, os.WNOHANG)
        if pid:
            break
        time.sleep(0.001)
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise RuntimeError(f"{command} failed with status {process.returncode}")
    peak["maxrss"] = usage.ru_maxrss * 1024
    return peak


def extraction_memory(b):
    out = os.path.join(b.dir, "out")
    found = {}
    for name, command in (("holm", [os.path.join(b.dir, "big.exe")]),
                          ("unzip -o", ["unzip", "-o", os.path.join(b.dir, "big.exe")])):
        os.mkdir(out)
        found[name] = peak_memory(command, cwd=out)
        shutil.rmtree(out)
        sync()
    return found


# ---- sending, inside a network namespace of its own ------------------------

def sending(b):
    """Runs the send figures in a private network namespace (its own
    loopback, so port 9100 there disturbs nothing) and returns them."""
    command = ["unshare", "--net", "--", sys.executable, os.path.abspath(__file__), "--net-child",
               "--build", b.build, "--scratch", b.dir, "--reps", str(b.reps), "--big-mib", str(b.big_size // MiB)]
    done = subprocess.run(command, capture_output=True, text=True, timeout=1800)
    if done.returncode != 0:
        raise RuntimeError(f"the namespaced send run failed: {done.stderr[-2000:]}")
    return json.loads(done.stdout)


class Sink:
    def __init__(self, helper):
        self.process = subprocess.Popen([helper, "sink", str(PORT)], stdout=subprocess.PIPE, text=True)
        if self.process.stdout.readline().strip() != "listening":
            raise RuntimeError("the listener did not start")

    def received(self):
        """(bytes, monotonic seconds at their end) of the next connection."""
        count, ended = self.process.stdout.readline().split()
        return int(count), int(ended) / 1e9

    def stop(self):
        self.process.kill()
        self.process.wait()


def net_child(b):
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    sink = Sink(b.helper)
    # Named relative to the folder: holm scans an argument that begins with
    # "/" as options, as its command line always has.
    folder = os.path.join(b.dir, "big")
    payload = "payload.bin"
    try:
        def measure(command, stdin_path=None):
            def once():
                with open(os.path.join(folder, stdin_path) if stdin_path else os.devnull, "rb") as stdin:
                    start = time.monotonic()
                    run_timed(command, cwd=folder, stdin=stdin)
                count, ended = sink.received()
                if count != b.big_size:
                    raise RuntimeError(f"{command} delivered {count} bytes, not {b.big_size}")
                return ended - start
            return once

        holm = [b.holm, "-m", "i", "-n", "127.0.0.1", payload]
        times = interleaved(b.reps, {
            "holm -m i": measure(holm),
            "socat -u": measure(["socat", "-u", "./" + payload, f"TCP:127.0.0.1:{PORT}"]),
            "nc -N": measure([shutil.which("nc.openbsd") or "nc", "-N", "127.0.0.1", str(PORT)], payload),
        })
        memory = {"holm": peak_memory(holm, cwd=folder)}
        sink.received()
        memory["socat -u"] = peak_memory(["socat", "-u", "./" + payload, f"TCP:127.0.0.1:{PORT}"], cwd=folder)
        sink.received()
    finally:
        sink.stop()
    print(json.dumps({"times": times, "memory": memory}))


# ---- scanning and start-up, through the compiled helper ---------------------

def helper_lines(b, *args):
    done = subprocess.run([b.helper, *args], capture_output=True, text=True, check=True, timeout=600)
    return [line.split() for line in done.stdout.splitlines()]


def scanning(b):
    walk = [float(v) for k, v in helper_lines(b, "scan-entries", "100000", str(b.reps * 4))]
    prefixes = {}
    for kind in ("zeros", "random", "code"):
        lines = helper_lines(b, "scan-prefix", kind, "64", str(b.reps * 4), b.holm)
        prefixes[kind] = {
            "holm": [float(l[1]) for l in lines if l[0] == "holm"],
            "memchr": [float(l[1]) for l in lines if l[0] == "memchr"],
            "stops": int(lines[0][1]),
        }
    return {"walk": walk, "prefix": prefixes}


def startup(b):
    empty_dir = os.path.join(b.dir, "empty")

    def spawned(*command):
        def once():
            lines = subprocess.run([b.helper, "spawn", "100", *command], cwd=empty_dir, capture_output=True,
                                   text=True, check=True).stdout.split()
            return float(lines[1])
        return once

    return interleaved(b.reps, {
        "holm -h": spawned(b.holm, "-h"),
        "holm, empty archive": spawned("./empty.exe"),
        "true": spawned(shutil.which("true")),
        "libcups only": spawned(b.libs_only),
    })


# ---- the machine ------------------------------------------------------------

def command_output(*command):
    try:
        return subprocess.run(command, capture_output=True, text=True, timeout=30).stdout.strip()
    except OSError:
        return ""


def machine(scratch):
    cpu = next((l.split(":", 1)[1].strip() for l in command_output("lscpu").splitlines()
                if l.startswith("Model name")), "unknown")
    with open("/proc/meminfo") as f:
        memory = int(f.readline().split()[1]) * 1024
    with open("/proc/loadavg") as f:
        load = " ".join(f.read().split()[:3])
    disk = command_output("findmnt", "-n", "-o", "SOURCE,FSTYPE", "-T", scratch)
    peers = command_output("dpkg-query", "-W", "-f", "${Package} ${Version}, ", "unzip", "socat",
                           "netcat-openbsd", "coreutils").rstrip(", ")
    return {"date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), "cpu": cpu,
            "cores": os.cpu_count(), "memory": f"{memory / GiB:.1f} GiB", "kernel": os.uname().release,
            "disk": f"{disk}, {shutil.disk_usage(scratch).free / GiB:.0f} GiB free", "peers": peers, "load average": load}


# ---- the table ------------------------------------------------------------------

def fmt_time(s):
    return f"{s * 1000:.1f} ms" if s < 10 else f"{s:.2f} s"


def fmt(stat, unit):
    if unit == "time":
        return f"{fmt_time(stat['median'])} ({fmt_time(stat['low'])}-{fmt_time(stat['high'])})"
    if unit == "rate":
        return f"{stat['median']:.0f} MB/s ({stat['low']:.0f}-{stat['high']:.0f})"
    return f"{stat['median'] / MiB:.1f} MiB"


def rates(seconds, size):
    return [size / 1e6 / s for s in seconds]


def table_rows(r, b):
    rows = []

    def compare(section, values, unit, targets=(), against=None):
        """One row per subject. Without against, the first subject is holm
        and each peer's row holds holm's ratio to it; with it, every other
        row holds its own ratio to that subject."""
        names = list(values)
        for name in names:
            stat = summary(values[name])
            if against is None:
                ratio = "" if name == names[0] else \
                    f"holm/{name} {summary(values[names[0]])['median'] / stat['median']:.2f}"
            else:
                ratio = "" if name == against else \
                    f"/{against} {stat['median'] / summary(values[against])['median']:.2f}"
            rows.append((section, name, fmt(stat, unit), ratio))
        for text in targets:
            rows.append((section, "target", text, ""))

    compare(f"extract one {b.big_size // MiB} MiB entry", r["extract_big"], "time",
            [verdict_time(r["extract_big"], "unzip -o", 1.0), verdict_time(r["extract_big"], "cp", 1.1)])
    compare(f"extract {b.small_count} small entries", r["extract_small"], "time",
            [verdict_time(r["extract_small"], "unzip -o", 0.6), verdict_time(r["extract_small"], "cp", 0.5)])
    send_rates = {k: rates(v, b.big_size) for k, v in r["send"]["times"].items()}
    compare(f"send {b.big_size // MiB} MiB to port 9100 (loopback)", send_rates, "rate",
            [verdict_rate(send_rates, "nc -N", 1.0), verdict_rate(send_rates, "socat -u", 2.0)])
    compare("walk 100000 entries to the end", {"holm": r["scan"]["walk"]}, "time",
            [f"< 100 ms: {'met' if summary(r['scan']['walk'])['median'] < 0.1 else 'MISSED'}"])
    for kind, p in r["scan"]["prefix"].items():
        speeds = {"holm": rates(p["holm"], 64 * MiB), "memchr": rates(p["memchr"], 64 * MiB)}
        compare(f"scan a 64 MiB prefix ({kind}, {p['stops']} 'P' bytes)", speeds, "rate",
                [verdict_rate(speeds, "memchr", 0.25)])
    for what, found in (("extraction", r["memory_extract"]), ("sending", r["send"]["memory"])):
        for name, peak in found.items():
            rows.append((f"memory of {what}, {b.big_size // MiB} MiB", name,
                         f"peak RSS {peak['Rss'] / MiB:.1f} MiB, anonymous {peak['Anonymous'] / MiB:.1f} MiB, "
                         f"private dirty {peak['Private_Dirty'] / MiB:.1f} MiB", ""))
        private = max(found["holm"]["Anonymous"], found["holm"]["Private_Dirty"])
        rows.append((f"memory of {what}, {b.big_size // MiB} MiB", "target",
                     f"private < 2 MiB: {'met' if private < 2 * MiB else 'MISSED'}", ""))
    compare("start-up, per run", r["startup"], "time",
            [verdict_time(r["startup"], "true", 1.5, subject) for subject in ("holm -h", "holm, empty archive")],
            against="true")
    return rows


def ratio_to(values, peer, subject=None):
    """The subject's median (by default holm's, the first subject) over the
    peer's."""
    mine = values[subject] if subject else next(iter(values.values()))
    return statistics.median(mine) / statistics.median(values[peer])


def verdict_time(values, peer, limit, subject=None):
    ratio = ratio_to(values, peer, subject)
    shown = f"{subject} " if subject else ""
    return f"{shown}time <= {limit:.1f}x {peer}: {ratio:.2f}x, {'met' if ratio <= limit else 'MISSED'}"


def verdict_rate(values, peer, limit):
    ratio = ratio_to(values, peer)
    return f"speed >= {limit:.2f}x {peer}: {ratio:.2f}x, {'met' if ratio >= limit else 'MISSED'}"


def print_machine(found, out):
    for key, value in found.items():
        print(f"{key + ':':<14} {value}", file=out)


def print_table(rows, out):
    section = None
    for row in rows:
        if row[0] != section:
            section = row[0]
            print(f"\n{section}", file=out)
        print(f"  {row[1]:<20} {row[2]:<36} {row[3]}".rstrip(), file=out)


def markdown(found, rows, out):
    for key, value in found.items():
        print(f"- {key}: {value}", file=out)
    print(file=out)
    print("| measurement | subject | median (low-high) | ratio |", file=out)
    print("|---|---|---|---|", file=out)
    section = None
    for row in rows:
        shown = row[0] if row[0] != section else ""
        section = row[0]
        print(f"| {shown} | {row[1]} | {row[2]} | {row[3]} |", file=out)


# ---- main -----------------------------------------------------------------------

def parse():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="the release build folder")
    parser.add_argument("--scratch", help="where the data goes (a new folder under it is made and removed)")
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--big-mib", type=int, default=1024)
    parser.add_argument("--small-count", type=int, default=10000)
    parser.add_argument("--json", help="also write the raw figures here")
    parser.add_argument("--markdown", help="also write the table here, in Markdown")
    parser.add_argument("--net-child", action="store_true", help=argparse.SUPPRESS)
    return parser.parse_args()


def step(name, action, *args):
    print(f"[bench] {name}", file=sys.stderr, flush=True)
    return action(*args)


def main():
    args = parse()
    if args.net_child:
        net_child(Bench(args))
        return
    needed = 3 * args.big_mib * MiB + GiB
    if shutil.disk_usage(args.scratch or tempfile.gettempdir()).free < needed:
        sys.exit(f"bench: needs {needed / GiB:.0f} GiB free under {args.scratch or tempfile.gettempdir()}")
    args.scratch = tempfile.mkdtemp(prefix="holm-bench-", dir=args.scratch)
    b = Bench(args)
    before = machine(b.dir)
    try:
        step("making the data", prepare, b)
        results = {
            "extract_big": step("extracting the big bundle", extraction, b, "big.exe", "big/payload.bin",
                                b.big_size, b.reps),
            # Cheaper runs and more at the mercy of the file system's journal,
            # so twice as many.
            "extract_small": step("extracting the small entries", extraction, b, "small.exe", "small/tree",
                                  tree_bytes(os.path.join(b.dir, "small")), 2 * b.reps, True),
            "memory_extract": step("memory of extraction", extraction_memory, b),
            "send": step("sending (in a network namespace)", sending, b),
            "scan": step("scanning", scanning, b),
            "startup": step("start-up", startup, b),
        }
    finally:
        shutil.rmtree(b.dir, ignore_errors=True)
    results["machine"] = dict(before, **{"load average": f"{before['load average']} at the start, "
                                                        f"{machine(tempfile.gettempdir())['load average']} at the end"})
    rows = table_rows(results, b)
    print_machine(results["machine"], sys.stdout)
    print_table(rows, sys.stdout)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    if args.markdown:
        with open(args.markdown, "w") as f:
            markdown(results["machine"], rows, f)


if __name__ == "__main__":
    main()
