"""What a fleet program costs by itself: its processes in one set of cgroups
(cgroup v1: cpuacct, memory, pids), each bundle moved into a second set by
`holm-bench meter` as it is executed, before its first instruction. The
kernel then counts, exactly:

- own CPU: cpuacct.usage of the program's set (every process it started
  other than the bundles, short-lived subshells included, also after they
  ended), in nanoseconds;
- own memory: memory.max_usage_in_bytes of its set, the high-water mark of
  everything charged to its processes (their pages, kernel memory, the page
  cache of the files they wrote); and, sampled 50 times a second, the most
  of it that was not page cache;
- bundles at once: pids.peak of the bundles' set (a bundle is one process
  of one thread).

control() shows that this is sound: a shell script as the fleet, with known
CPU burners and memory holders of its own and as its bundles.
"""
import os
import shutil
import signal
import subprocess
import threading
import time

HIERARCHIES = ("cpuacct", "memory", "pids")
_serial = [0]


def _own_path(hierarchy):
    """This process's cgroup in a v1 hierarchy: ours are made inside it."""
    with open("/proc/self/cgroup") as f:
        for line in f:
            _, names, path = line.rstrip("\n").split(":", 2)
            if hierarchy in names.split(","):
                return f"/sys/fs/cgroup/{hierarchy}{path.rstrip('/')}"
    raise RuntimeError(f"no cgroup v1 hierarchy {hierarchy} mounted")


def available():
    """Why the meter cannot work here, or None."""
    try:
        for h in HIERARCHIES:
            path = os.path.join(_own_path(h), f"holm-probe-{os.getpid()}")
            os.mkdir(path)
            os.rmdir(path)
    except (OSError, RuntimeError) as e:
        return f"cannot make cgroups (v1 cpuacct, memory, pids): {e}"
    return None


def _read(path):
    with open(path) as f:
        return f.read()


class Group:
    """One set of cgroups, one in each hierarchy, of the same name."""

    def __init__(self, name):
        self.dirs = {h: os.path.join(_own_path(h), name) for h in HIERARCHIES}
        for d in self.dirs.values():
            os.makedirs(d)

    def joined(self):
        return ":".join(self.dirs.values())

    def cpu(self):
        d = self.dirs["cpuacct"]
        return {"cpu": int(_read(f"{d}/cpuacct.usage")) / 1e9,
                "cpu_user": int(_read(f"{d}/cpuacct.usage_user")) / 1e9,
                "cpu_sys": int(_read(f"{d}/cpuacct.usage_sys")) / 1e9}

    def memory(self):
        d = self.dirs["memory"]
        stat = dict(line.split() for line in _read(f"{d}/memory.stat").splitlines())
        return {"peak": int(_read(f"{d}/memory.max_usage_in_bytes")),
                "kernel_peak": int(_read(f"{d}/memory.kmem.max_usage_in_bytes")),
                "usage": int(_read(f"{d}/memory.usage_in_bytes")), "cache": int(stat["cache"]),
                "rss": int(stat["rss"])}

    def peak_tasks(self):
        return int(_read(os.path.join(self.dirs["pids"], "pids.peak")))

    def kill(self):
        """Ends whatever still runs in the set."""
        for _ in range(50):
            pids = [int(p) for p in _read(os.path.join(self.dirs["pids"], "cgroup.procs")).split()]
            if not pids:
                return
            for pid in pids:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            time.sleep(0.1)

    def remove(self):
        self.kill()
        for d in self.dirs.values():
            for _ in range(50):
                try:
                    os.rmdir(d)
                    break
                except FileNotFoundError:
                    break
                except OSError:
                    time.sleep(0.1)


class Sampler:
    """Memory charged to a set, read 50 times a second: memory.stat of a
    cgroup sums every process in it at the moment of reading, short-lived
    ones included. Keeps the most charged at once, with and without page
    cache, and the most anonymous memory; the first, set against the
    kernel's own high-water mark, shows how close the sampling came to the
    true peak."""

    def __init__(self, group):
        self.group, self.most, self.most_but_cache, self.most_anonymous = group, 0, 0, 0
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _sample(self):
        m = self.group.memory()
        self.most = max(self.most, m["usage"])
        self.most_but_cache = max(self.most_but_cache, m["usage"] - m["cache"])
        self.most_anonymous = max(self.most_anonymous, m["rss"])

    def _run(self):
        while not self.done.wait(0.02):
            self._sample()

    def stop(self):
        self.done.set()
        self.thread.join()
        self._sample()


def metered(holm_bench, netns, bundle, argv, cwd, timeout, env=None):
    """Runs argv (a fleet program) under the meter in the network namespace
    netns ("-": this one): (wall seconds, completed process, figures)."""
    _serial[0] += 1
    harness = sum(os.times()[:2])
    name = f"holm-bench-{os.getpid()}-{_serial[0]}"
    own, bundles = Group(name + "-own"), Group(name + "-bundles")
    report = os.path.join(cwd, name + ".meter")
    try:
        sampler = Sampler(own)
        started = time.monotonic()
        try:
            ran = subprocess.run([os.path.abspath(holm_bench), "meter", report, netns, own.joined(), bundles.joined(), bundle] + argv,
                                 cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout)
        finally:
            seconds = time.monotonic() - started
            sampler.stop()
        own.kill()
        bundles.kill()
        meter = dict(line.split() for line in _read(report).splitlines())
        own_memory, bundle_memory = own.memory(), bundles.memory()
        figures = {"own": dict(own.cpu(), memory_peak=own_memory["peak"], kernel_peak=own_memory["kernel_peak"],
                               sampled_peak=sampler.most, but_cache_peak=sampler.most_but_cache,
                               anonymous_peak=sampler.most_anonymous,
                               cache_at_end=own_memory["cache"]),
                   "bundles": dict(bundles.cpu(), memory_peak=bundle_memory["peak"], at_once=bundles.peak_tasks()),
                   "meter": {k: float(v) if "." in v else int(v) for k, v in meter.items()},
                   "harness_cpu": sum(os.times()[:2]) - harness}
        return seconds, ran, figures
    finally:
        own.remove()
        bundles.remove()


def machine_busy():
    """CPU seconds the whole machine has spent busy since it started."""
    with open("/proc/stat") as f:
        fields = [int(v) for v in f.readline().split()[1:]]
    idle = fields[3] + fields[4]  # idle, iowait
    return (sum(fields[:8]) - idle) / os.sysconf("SC_CLK_TCK")


def wait_for_quiet(most_seconds=300, busy_share=0.25):
    """Waits until the machine was less than busy_share busy over five
    seconds (other work shares it), or most_seconds have passed. Returns
    the seconds waited, and whether it became quiet."""
    started = time.monotonic()
    cpus = os.cpu_count() or 1
    while True:
        before = machine_busy()
        time.sleep(5)
        if (machine_busy() - before) / (5 * cpus) < busy_share:
            return time.monotonic() - started, True
        if time.monotonic() - started > most_seconds:
            return time.monotonic() - started, False


CONTROL = """#!/bin/bash
# A fleet of known cost: {count} bundles at once and, while they run, one
# long and {short} short burners of its own.
for i in $(seq {count}); do ./control-bundle.exe burn {bundle_seconds} {bundle_mib} & done
"$BENCH" burn {long} {own_mib}
for i in $(seq {short}); do "$BENCH" burn {short_seconds} 0; done
wait
"""


def control(holm_bench, scratch):
    """The control: the same script twice, with loads and with none; the
    differences must be the loads. Returns the figures and whether each
    came within 5% of what was burnt or held (the start of a process costs
    a few milliseconds here, and varies from run to run). The bundles'
    memory is shown, not judged: the first of them may end before the last
    has touched its own."""
    folder = os.path.join(scratch, "control")
    os.makedirs(folder)
    shutil.copy(holm_bench, os.path.join(folder, "control-bundle.exe"))
    load = {"long": 4, "own_mib": 64, "short": 20, "short_seconds": 0.05, "count": 40, "bundle_seconds": 0.25,
            "bundle_mib": 32}
    none = dict(load, long=0, own_mib=0, short_seconds=0, bundle_seconds=0, bundle_mib=0)
    runs = []
    for values in (load, none):
        script = os.path.join(folder, "fleet-control")
        with open(script, "w") as f:
            f.write(CONTROL.format(**values))
        os.chmod(script, 0o755)
        env = dict(os.environ, BENCH=os.path.abspath(holm_bench))
        _, ran, figures = metered(holm_bench, "-", os.path.join(folder, "control-bundle.exe"), [script], folder,
                                  120, env)
        if ran.returncode != 0 or figures["meter"]["status"] != 0:
            raise RuntimeError(f"the meter's control failed: {ran.stderr[-2000:]}")
        runs.append(figures)
    with_load, without = runs
    own_cpu = with_load["own"]["cpu"] - without["own"]["cpu"]
    bundles_cpu = with_load["bundles"]["cpu"] - without["bundles"]["cpu"]
    own_mib = (with_load["own"]["memory_peak"] - without["own"]["memory_peak"]) / 2**20
    result = {"own_cpu": own_cpu, "own_cpu_burnt": load["long"] + load["short"] * load["short_seconds"],
              "bundles_cpu": bundles_cpu, "bundles_cpu_burnt": load["count"] * load["bundle_seconds"],
              "own_mib": own_mib, "own_mib_held": load["own_mib"],
              "bundles_mib": with_load["bundles"]["memory_peak"] / 2**20,
              "bundles_mib_held": load["count"] * load["bundle_mib"],
              "at_once": with_load["bundles"]["at_once"], "count": load["count"]}
    result["sound"] = (abs(own_cpu / result["own_cpu_burnt"] - 1) < 0.05
                       and abs(bundles_cpu / result["bundles_cpu_burnt"] - 1) < 0.05
                       and abs(own_mib / load["own_mib"] - 1) < 0.05
                       and result["at_once"] == load["count"])
    return result

