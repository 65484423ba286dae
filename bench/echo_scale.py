"""Many copies of holm probing at once: the cost of the echo socket kind.

Started by bench/echo_scale.sh, which builds the program twice: as shipped
and without the filter of its raw echo socket (HOLM_ECHO_FILTER=OFF).

A private network namespace (the control machine) is joined by a veth pair
to a second one whose kernel answers echo requests for COPIES addresses of
198.19.0.0/16 held by its loopback, one address a printer, and drops those
to 198.18.128.1 without a word (a printer that is restarting).

COPIES programs run at once, in the two phases of the restart wait after a
firmware download: while the printer still answers, one answered request
a second (`-m g` RUNS times in a row: one request and the second's pause
after it); while it restarts, requests that go unanswered, each waited on
for the 5-second echo time-out (one `-m g` to the silent address: three
requests, 18 s). Half the copies start with the silent phase and half with
the answering one, so that some always wait while others are answered.

Measured three ways: ping sockets allowed, raw sockets with the filter, raw
sockets without it. Every raw socket is handed every reply of the namespace;
unfiltered, a program waiting for its printer wakes for all the others'.

Prints, per way: wall time; the CPU time of the programs and the shells
that start them (user, system); the CPU the whole machine spent meanwhile
(the kernel's receiving included, but also whatever else runs); the
requests that went out beyond one per answering run and three per silent
one (lost or late replies), and the runs whose outcome was not the
expected one.
"""
import argparse
import os
import resource
import subprocess
import sys
import time

TOOL_IP = "198.18.0.1"
PRINTER_SIDE_IP = "198.18.0.2"
PRINTERS = "198.19.0.0/16"

SILENT_IP = "198.18.128.1"

# The copies, each a subshell: the answering phase and the silent one, in
# turns. With -d each request shows as a "p".
COPIES = '''
answering() { i=0; while [ "$i" -lt "$HOLM_RUNS" ]; do "$HOLM" -d -m g -n "$1"; i=$((i + 1)); done; }
silent() { "$HOLM" -d -m g -n "$HOLM_SILENT"; }
n=0
for a in "$@"; do
  if [ $((n % 2)) -eq 0 ]; then ( silent; answering "$a" ) & else ( answering "$a"; silent ) & fi
  n=$((n + 1))
done
wait
'''


def ip(*args, stdin=None):
    subprocess.run(["ip"] + list(args), input=stdin, check=True, capture_output=True, timeout=120, text=True)


def addresses(count):
    return [f"198.19.{i // 250}.{i % 250 + 1}" for i in range(count)]


class Bed:
    """The two namespaces; removed by close, also after a failure."""

    def __init__(self, count):
        self.tool = f"holmEchoT{os.getpid()}"
        self.printers = f"holmEchoP{os.getpid()}"
        self.made = []
        try:
            self._make(count)
        except BaseException:
            self.close()
            raise

    def _make(self, count):
        for ns in (self.tool, self.printers):
            ip("netns", "add", ns)
            self.made.append(ns)
        ip("-n", self.tool, "link", "add", "veth0", "type", "veth", "peer", "name", "veth1", "netns", self.printers)
        ip("-n", self.tool, "addr", "add", f"{TOOL_IP}/30", "dev", "veth0")
        ip("-n", self.printers, "addr", "add", f"{PRINTER_SIDE_IP}/30", "dev", "veth1")
        for ns, dev in ((self.tool, "veth0"), (self.printers, "veth1")):
            ip("-n", ns, "link", "set", dev, "up")
            ip("-n", ns, "link", "set", "lo", "up")
        for printers in (PRINTERS, SILENT_IP):
            ip("-n", self.tool, "route", "add", printers, "via", PRINTER_SIDE_IP)
        self.addresses = addresses(count)
        ip("-n", self.printers, "-batch", "-",
           stdin="".join(f"addr add {a}/32 dev lo\n" for a in self.addresses))

    def allow_ping_sockets(self, allowed):
        subprocess.run(["ip", "netns", "exec", self.tool, "sysctl", "-qw",
                        "net.ipv4.ping_group_range=" + ("0 2147483647" if allowed else "1 0")],
                       check=True, capture_output=True, timeout=60)

    def close(self):
        for ns in self.made:
            subprocess.run(["ip", "netns", "del", ns], capture_output=True, timeout=120)


def machine_busy():
    """(busy, total) jiffies of all processors since boot."""
    with open("/proc/stat") as f:
        fields = [int(v) for v in f.readline().split()[1:]]
    idle = fields[3] + fields[4]  # idle and iowait
    return sum(fields) - idle, sum(fields)


def busy_share(seconds):
    """How busy the machine is, as a share of all its processors."""
    before = machine_busy()
    time.sleep(seconds)
    after = machine_busy()
    return (after[0] - before[0]) / max(1, after[1] - before[1])


def measure(bed, holm, runs):
    tick = os.sysconf("SC_CLK_TCK")
    before_cpu = resource.getrusage(resource.RUSAGE_CHILDREN)
    before_machine = machine_busy()
    start = time.perf_counter()
    done = subprocess.run(["ip", "netns", "exec", bed.tool, "sh", "-c", COPIES, "sh"] + bed.addresses,
                          env=dict(os.environ, HOLM=holm, HOLM_RUNS=str(runs), HOLM_SILENT=SILENT_IP),
                          capture_output=True, text=True, timeout=3600)
    wall = time.perf_counter() - start
    after_machine = machine_busy()
    after_cpu = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        raise RuntimeError(f"the copies' shell failed with status {done.returncode}: {done.stderr[-500:]}")
    return {
        "wall": wall,
        "user": after_cpu.ru_utime - before_cpu.ru_utime,
        "system": after_cpu.ru_stime - before_cpu.ru_stime,
        "machine": (after_machine[0] - before_machine[0]) / tick,
        **outcome(done.stdout, len(bed.addresses), runs),
    }


def outcome(said, copies, runs):
    """Extra requests and unexpected outcomes, from the copies' output."""
    alive = said.count("Device is alive")
    dead = said.count("Destination is not alive")
    return {"extra requests": said.count("p") - alive - 3 * dead,
            "unexpected": abs(alive - copies * runs) + abs(dead - copies)}


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--holm", required=True, help="holm as shipped")
    p.add_argument("--holm-nofilter", required=True, help="holm built with HOLM_ECHO_FILTER=OFF")
    p.add_argument("--copies", type=int, default=1000, help="programs at once (default 1000)")
    p.add_argument("--runs", type=int, default=18,
                   help="answered runs of each copy, one second each (default 18, as long as the silent phase)")
    args = p.parse_args()
    if os.geteuid() != 0:
        sys.exit("echo_scale.py: needs root (network namespaces, raw sockets)")
    if not 1 <= args.copies <= 250 * 256:
        sys.exit("echo_scale.py: --copies must be 1 to 64000")
    ways = [("ping sockets", args.holm, True), ("raw, filtered", args.holm, False),
            ("raw, unfiltered", args.holm_nofilter, False)]
    cores = os.cpu_count()
    print(f"{args.copies} copies at once, each {args.runs} answered runs of `holm -m g` and one silent one, "
          f"on {cores} processors")
    print(f"machine busy before: {100 * busy_share(3):.0f}% of {cores} processors, "
          f"load average {open('/proc/loadavg').read().split()[0]}")
    bed = Bed(args.copies)
    try:
        print(f"{'echo socket':<17}{'wall s':>8}{'user s':>8}{'sys s':>8}{'machine s':>11}"
              f"{'extra requests':>16}{'unexpected':>12}")
        for name, holm, ping_sockets in ways:
            bed.allow_ping_sockets(ping_sockets)
            got = measure(bed, os.path.abspath(holm), args.runs)
            print(f"{name:<17}{got['wall']:>8.1f}{got['user']:>8.1f}{got['system']:>8.1f}"
                  f"{got['machine']:>11.1f}{got['extra requests']:>16}{got['unexpected']:>12}", flush=True)
    finally:
        bed.close()
    print(f"one copy alone takes about {args.runs + 18} s ({args.runs} answered runs of 1 s, "
          "3 unanswered requests of 6 s)")


if __name__ == "__main__":
    main()
