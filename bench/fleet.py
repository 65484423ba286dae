"""holm-fleet against many simulated printers: one printer alone, then
fleets of 250 and 1000, each printer restarting for 30 s after its image.
Prints, for each size, the time against one printer alone, the most bundles
seen running at once, and whether every printer got its image exactly
once; all of it twice, with ICMP ping sockets allowed in the control
namespace and with the default there (none: the program falls back to a
raw socket). Started by bench/fleet.sh, as root.

The printers are one process (bench/fleet_sim.py) in a namespace of their
own, every printer one address there; the control namespace reaches them
through one veth pair and a route.
"""
import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FLEET = os.path.join(HERE, "..", "tools", "holm-fleet")
SIM = os.path.join(HERE, "fleet_sim.py")
MAGIC = b"qUoRdaViNe"
TABLE = ("table inet holmsim {\n set down { type ipv4_addr; flags timeout; }\n"
         " chain input { type filter hook input priority 0; ip daddr @down drop; }\n}\n")


def address(i):
    return f"198.18.{1 + i // 250}.{1 + i % 250}"


def sh(*command, ns=None, **kwargs):
    prefix = ["ip", "netns", "exec", ns] if ns else []
    return subprocess.run(prefix + list(command), check=True, capture_output=True, timeout=300, **kwargs)


class Bed:
    """The two namespaces, the printers' addresses and the simulator."""

    def __init__(self, scratch, count, args):
        self.tool, self.printers = f"holmB{os.getpid()}t", f"holmB{os.getpid()}p"
        self.log = os.path.join(scratch, "jobs.tsv")
        self.sim = None
        sh("ip", "-batch", "-", input=f"netns add {self.tool}\nnetns add {self.printers}\n".encode())
        try:
            self._link(count)
            self._start(args)
        except BaseException:
            self.close()
            raise

    def _link(self, count):
        lines = ["link set lo up", f"link add v0 type veth peer name v1 netns {self.printers}",
                 "addr add 198.18.0.1/24 dev v0", "link set v0 up", "route add 198.18.0.0/16 via 198.18.0.2"]
        sh("ip", "-n", self.tool, "-batch", "-", input="\n".join(lines).encode())
        lines = ["link set lo up", "addr add 198.18.0.2/24 dev v1", "link set v1 up"]
        lines += [f"addr add {address(i)}/32 dev v1" for i in range(count)]
        sh("ip", "-n", self.printers, "-batch", "-", input="\n".join(lines).encode())
        sh("sysctl", "-qw", "net.core.somaxconn=8192", "net.ipv4.tcp_max_syn_backlog=8192", ns=self.printers)
        sh("nft", "-f", "-", input=TABLE.encode(), ns=self.printers)

    def _start(self, args):
        self.sim = subprocess.Popen(["ip", "netns", "exec", self.printers, sys.executable, SIM, "--log", self.log,
                                     "--down-seconds", str(args.down_seconds)],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 60
        while not os.path.exists(self.log) or "ready" not in open(self.log).read():
            if self.sim.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"the simulator did not start: {self.sim.stderr.read().decode()[-2000:]}")
            time.sleep(0.1)

    def ping_sockets(self, allowed):
        sh("sysctl", "-qw", "net.ipv4.ping_group_range=" + ("0 2147483647" if allowed else "1 0"), ns=self.tool)

    def jobs(self):
        with open(self.log) as f:
            return [line.rstrip("\n").split("\t") for line in f if "\t" in line]

    def close(self):
        if self.sim is not None and self.sim.poll() is None:
            self.sim.kill()
            self.sim.wait()
        subprocess.run(["ip", "-force", "-batch", "-"], input=f"netns del {self.tool}\nnetns del {self.printers}\n",
                       text=True, capture_output=True, timeout=120)


def running(bundle):
    """How many processes run this bundle now (by its command name first,
    which is quicker to read)."""
    name, path, count = os.path.basename(bundle)[:15], os.fsencode(bundle), 0
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                with open(f"/proc/{pid}/comm") as f:
                    if f.read().rstrip("\n") != name:
                        continue
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    count += f.read().split(b"\0")[0] == path
            except OSError:
                pass
    return count


def fleet_run(bed, bundle, first, count, scratch):
    """holm-fleet -j count for printers first.. first+count-1: (seconds,
    peak of bundles running at once, summary lines, the finished process,
    seconds from the first printer's start to the last's)."""
    name = f"run-{first}"
    with open(os.path.join(scratch, name + ".txt"), "w") as f:
        f.write("".join(address(first + i) + "\n" for i in range(count)))
    peak, done = [0], threading.Event()

    def sample():
        while not done.wait(0.5):
            peak[0] = max(peak[0], running(bundle))

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    started = time.monotonic()
    ran = subprocess.run(["ip", "netns", "exec", bed.tool, "bash", "holm-fleet", "-j", str(count), "-o", name + ".out",
                          bundle, name + ".txt"], cwd=scratch, capture_output=True, text=True, timeout=3600)
    seconds = time.monotonic() - started
    done.set()
    sampler.join()
    if ran.returncode not in (0, 1):
        raise RuntimeError(f"holm-fleet ended with status {ran.returncode}: {ran.stderr[-2000:]}")
    with open(os.path.join(scratch, name + ".out", "summary.tsv")) as f:
        rows = [line.rstrip("\n").split("\t") for line in f][1:]
    with open(os.path.join(scratch, name + ".out", "joblog")) as f:
        starts = [float(line.split("\t")[2]) for line in list(f)[1:]]
    return seconds, peak[0], rows, ran, max(starts) - min(starts)


def exactly_once(bed, image_digest, image_size, first, count, jobs_before):
    """Whether each printer of the run got one print-port connection, with
    the image whole, and no other printer got anything meanwhile."""
    new = bed.jobs()[jobs_before:]
    wanted = {address(first + i) for i in range(count)}
    got = {}
    for addr, size, digest in new:
        got.setdefault(addr, []).append((int(size), digest))
    return set(got) == wanted and all(v == [(image_size, image_digest)] for v in got.values())


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", required=True, help="the build folder with holm and holm-pack")
    p.add_argument("--sizes", default="250,1000")
    p.add_argument("--down-seconds", type=float, default=30.0)
    p.add_argument("--image-kib", type=int, default=256)
    p.add_argument("--json", help="write the figures to this file as well")
    args = p.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    scratch = tempfile.mkdtemp(prefix="holm-fleet-bench-")
    image = MAGIC + bytes((i * 131 + i // 4099) % 256 for i in range(args.image_kib * 1024 - len(MAGIC)))
    os.makedirs(os.path.join(scratch, "fw"))
    with open(os.path.join(scratch, "fw", "image.bin"), "wb") as f:
        f.write(image)
    # A copy: the tree may change while the benchmark runs.
    shutil.copy(FLEET, os.path.join(scratch, "holm-fleet"))
    bundle = os.path.join(scratch, "fw-update.exe")
    sh(os.path.join(args.build, "holm-pack"), "-o", bundle, "-s", os.path.join(args.build, "holm"),
       "-C", scratch, "fw/image.bin")
    digest = hashlib.sha256(image).hexdigest()
    per_setting = 1 + sum(sizes)
    bed = Bed(scratch, 2 * per_setting, args)
    env_path = os.path.abspath(args.build) + os.pathsep + os.environ["PATH"]
    os.environ["PATH"] = env_path  # holm-fleet finds the built holm-pack there
    results = []
    try:
        for n, allowed in enumerate((True, False)):
            bed.ping_sockets(allowed)
            first = n * per_setting
            setting = "ping sockets allowed" if allowed else "default (raw socket)"
            alone = None
            for count in [1] + sizes:
                before = len(bed.jobs())
                seconds, peak, rows, ran, spread = fleet_run(bed, bundle, first, count, scratch)
                ok = sum(r[1] == "ok" for r in rows)
                once = exactly_once(bed, digest, len(image), first, count, before)
                alone = alone or seconds
                figure = {"setting": setting, "printers": count, "seconds": round(seconds, 1),
                          "ratio": round(seconds / alone, 2), "peak": peak, "started_within": round(spread, 2),
                          "ok": ok, "exactly_once": once,
                          "status": ran.returncode}
                if ran.returncode != 0:
                    figure["stdout"] = ran.stdout[-1000:]
                    figure["stderr"] = ran.stderr[-1000:]
                results.append(figure)
                print(f"{setting:22} {count:5} printers  {seconds:6.1f} s  {seconds / alone:5.2f} x alone  "
                      f"peak {peak:5} at once  all started within {spread:5.2f} s  {ok:5} ok  "
                      f"exactly once: {'yes' if once else 'NO'}", flush=True)
                first += count
    finally:
        bed.close()
        shutil.rmtree(scratch, ignore_errors=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
