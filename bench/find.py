#!/usr/bin/env python3
"""The holm-find benchmark: a /22 with 250 simulated printers, and a /16
with 1000 printers and every other address silent (its packets dropped,
never refused). Prints the wall time and holm-find's peak memory (max RSS)
of each, the printers found against those there, and writes them with
--json FILE. Run as root (network namespaces).

The network: a tool namespace, where holm-find runs, routes
198.18.0.0/16 over one veth pair to a printers' namespace. There every
printer is one /32 address of its loopback link, all served by one
bench/find_sim.py on port 631; a blackhole route takes the rest of the
/16 behind an nftables rule that drops every packet to an address that is
not a printer's before it is routed, so a connect to a silent address sees
nothing at all (no refusal, no ICMP error), as on a real site. Nothing leaves the two namespaces; they are removed at the end, also
after a failure.
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# What is not a printer's address is dropped before routing, so no ICMP
# error ever answers it; the counter says how many packets went so.
SILENT = ("table inet holmsilent {\n chain prerouting {\n type filter hook prerouting priority -300;\n"
          "  fib daddr type local accept\n  ip daddr 198.18.0.0/16 counter drop\n }\n}\n")
SIM = os.path.join(HERE, "find_sim.py")
BASE = 0xC6120000  # 198.18.0.0


def dotted(a):
    return ".".join(str(a >> s & 255) for s in (24, 16, 8, 0))


def sh(*command, ns=None, **kwargs):
    prefix = ["ip", "netns", "exec", ns] if ns else []
    return subprocess.run(prefix + list(command), check=True, capture_output=True, timeout=300, **kwargs)


class Bed:
    def __init__(self, printers):
        self.tool, self.side = f"holmFB{os.getpid()}t", f"holmFB{os.getpid()}p"
        self.sim = None
        sh("ip", "-batch", "-", input=f"netns add {self.tool}\nnetns add {self.side}\n".encode())
        try:
            sh("ip", "-n", self.tool, "-batch", "-", input="\n".join([
                "link set lo up", f"link add v0 type veth peer name v1 netns {self.side}",
                "addr add 198.19.0.1/30 dev v0", "link set v0 up", "route add 198.18.0.0/16 via 198.19.0.2"]).encode())
            lines = ["link set lo up", "addr add 198.19.0.2/30 dev v1", "link set v1 up",
                     "route add blackhole 198.18.0.0/16"]
            lines += [f"addr add {dotted(a)}/32 dev lo" for a in printers]
            sh("ip", "-n", self.side, "-batch", "-", input="\n".join(lines).encode())
            sh("nft", "-f", "-", ns=self.side, input=SILENT.encode())
            self.sim = subprocess.Popen(["ip", "netns", "exec", self.side, sys.executable, SIM],
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            if self.sim.stdout.readline() != b"ready\n":
                raise RuntimeError("the simulated printers did not start")
        except BaseException:
            self.close()
            raise

    def close(self):
        if self.sim is not None and self.sim.poll() is None:
            self.sim.kill()
            self.sim.wait(timeout=30)
        subprocess.run(["ip", "-force", "-batch", "-"], input=f"netns del {self.tool}\nnetns del {self.side}\n",
                       text=True, capture_output=True, timeout=120)

    def find(self, program, spec):
        """(seconds, max RSS in KiB, printers listed, exit status)."""
        start = time.monotonic()
        child = subprocess.Popen(["ip", "netns", "exec", self.tool, program, "--range", spec, "--tsv"],
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        out = child.stdout.read()
        _, status, usage = os.wait4(child.pid, 0)
        seconds = time.monotonic() - start
        child.returncode = os.waitstatus_to_exitcode(status)
        return seconds, usage.ru_maxrss, len(out.splitlines()) - 1, child.returncode

    def dropped(self):
        listed = sh("nft", "list", "table", "inet", "holmsilent", ns=self.side, text=True).stdout
        return int(listed.split("counter packets ")[1].split()[0])


CASES = [
    # name, range, printer addresses, target seconds, target MiB
    ("/22, 250 printers", "198.18.4.0/22", [BASE + 4 * 256 + 1 + i for i in range(250)], 5.0, None),
    ("/16, 1000 printers, the rest silent", "198.18.0.0/16", [BASE + 1 + i * 65 for i in range(1000)], 90.0, 64),
]


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--find", default=os.path.join(HERE, "..", "build", "linux", "holm-find"))
    p.add_argument("--json", default=None)
    args = p.parse_args()
    results = []
    for name, spec, printers, seconds_target, mib_target in CASES:
        bed = Bed(printers)
        try:
            seconds, rss, found, status = bed.find(os.path.abspath(args.find), spec)
            dropped = bed.dropped()
        finally:
            bed.close()
        ok = found == len(printers) and seconds <= seconds_target and (mib_target is None or rss / 1024 < mib_target)
        results.append({"case": name, "range": spec, "printers": len(printers), "found": found, "status": status,
                        "silent_packets_dropped": dropped, "seconds": round(seconds, 2), "max_rss_mib": round(rss / 1024, 1),
                        "target_seconds": seconds_target, "target_mib": mib_target, "met": ok})
        print(f"{name}: {found} of {len(printers)} found in {seconds:.2f} s (target {seconds_target:g} s), "
              f"max RSS {rss / 1024:.1f} MiB" + (f" (target < {mib_target} MiB)" if mib_target else "")
              + f", {dropped} packets to silent addresses dropped" + ("" if ok else "  NOT MET"), flush=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    return 0 if all(r["met"] for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
