"""Many simulated printers, each in a network namespace of its own, reached
from one tool namespace.

The tool namespace holds a bridge with 198.18.0.1/16; printer i (from 0)
sits behind its own veth pair at address(i) (198.18.1.1, 198.18.1.2, ...).
Each printer is described by a Printer spec: its simulator's arguments and
the faults of its link. Every printer answers IPP on port 631 (a printer
without IPP has "--ipp-port", "0" among its arguments). Nothing leaves these namespaces; cleanup removes
them and ends the simulators even when a test fails. Native programs only.
"""
import os
import shutil
import subprocess
import sys
import threading
import time

import netbed

TOOL_IP = "198.18.0.1"
_counter = [0]
_lock = threading.Lock()


def address(i):
    return f"198.18.{1 + i // 250}.{1 + i % 250}"


def available():
    """Why the bed cannot be built here, or None."""
    why = netbed.available()
    if why is None and (shutil.which("nft") is None or shutil.which("tc") is None):
        why = "needs nft (nftables) and tc (iproute2)"
    return why


class Printer:
    """What one printer is: simulator arguments and link faults.

    unreachable       the tool namespace routes its address nowhere (every
                      packet to it fails at once) until mended
    loss              drop one in this many packets that reach it (nftables)
    rate              the link toward it limited to this rate ("8mbit", tbf)
    down_unreachable  while the simulator restarts, its address is
                      unreachable, so probes fail at once instead of after
                      the echo time-out
    """

    def __init__(self, sim_args=(), unreachable=False, loss=0, rate=None, down_unreachable=True):
        self.sim_args = list(sim_args)
        self.unreachable, self.loss, self.rate = unreachable, loss, rate
        self.down_unreachable = down_unreachable


def _ip(*args, ns=None):
    prefix = ["ip"] + (["-n", ns] if ns else [])
    subprocess.run(prefix + list(args), check=True, capture_output=True, timeout=60)


def _batch(lines, ns=None):
    """Runs ip commands from one process (much quicker than one each)."""
    prefix = ["ip"] + (["-n", ns] if ns else [])
    subprocess.run(prefix + ["-batch", "-"], input="\n".join(lines) + "\n", text=True, check=True,
                   capture_output=True, timeout=120)


class SimulatedPrinter:
    def __init__(self, bed, i, spec):
        self.index, self.spec = i, spec
        self.address = address(i)
        self.ns = f"{bed.prefix}p{i}"
        self.dev = f"p{i}"
        self.dir = os.path.join(bed.dir, f"printer{i}")
        self.log = os.path.join(self.dir, "sim-log.jsonl")
        self.raw_dir = os.path.join(self.dir, "raw")
        os.makedirs(self.raw_dir)
        self.sim = None
        self.sim_args = spec.sim_args

    # What the simulator logged (of one kind): it reads self.log alone.
    events = netbed.NetBed.events

    def raw_jobs(self):
        jobs = []
        for e in self.events("raw"):
            with open(e["file"], "rb") as f:
                jobs.append(f.read())
        return jobs

    def start(self, bed, sim_args):
        self.sim_args = list(sim_args)
        stderr = open(os.path.join(self.dir, "sim-stderr.txt"), "ab")
        self.sim = subprocess.Popen(
            ["ip", "netns", "exec", self.ns, sys.executable, netbed.SIM, "--telnet-port", "23",
             "--raw-port", "9100", "--raw-dir", self.raw_dir,
             "--ipp-port", "631", "--state-file", os.path.join(self.dir, "state.json"), "--log", self.log]
            + (["--down-unreachable-from", bed.tool_ns] if self.spec.down_unreachable else [])
            + self.sim_args, stdout=subprocess.DEVNULL, stderr=stderr)
        stderr.close()

    def stop(self):
        if self.sim is not None and self.sim.poll() is None:
            self.sim.kill()
            self.sim.wait(timeout=30)


class FleetBed:
    def __init__(self, case, specs, tool_sysctls=()):
        with _lock:
            _counter[0] += 1
            self.prefix = f"holmF{os.getpid()}x{_counter[0]}"
        self.tool_ns = self.prefix + "t"
        self.dir = os.path.join(case.dir, "fleetbed")
        self.etc = f"/etc/netns/{self.tool_ns}"
        self.printers = []
        self.made = []
        case.addCleanup(self.close)
        os.makedirs(self.dir)
        self.printers = [SimulatedPrinter(self, i, spec) for i, spec in enumerate(specs)]
        self._make_network(tool_sysctls)
        for p in self.printers:
            p.start(self, p.spec.sim_args)
        self._wait_ready(self.printers, 1)

    def _make_network(self, tool_sysctls):
        self.made = [self.tool_ns] + [p.ns for p in self.printers]
        _batch([f"netns add {ns}" for ns in self.made])
        tool = ["link set lo up", "link add br0 type bridge", f"addr add {TOOL_IP}/16 dev br0",
                "link set br0 up"]
        for p in self.printers:
            tool += [f"link add {p.dev} type veth peer name eth0 netns {p.ns}",
                     f"link set {p.dev} master br0", f"link set {p.dev} up"]
            if p.spec.unreachable:
                tool.append(f"route add unreachable {p.address}/32")
        _batch(tool, self.tool_ns)
        for p in self.printers:
            _batch(["link set lo up", f"addr add {p.address}/16 dev eth0", "link set eth0 up"], p.ns)
            if p.spec.loss:
                rules = ("table inet holm {\n chain input {\n type filter hook input priority 0;\n"
                         f" numgen random mod {p.spec.loss} == 0 drop\n }}\n}}\n")
                subprocess.run(["ip", "netns", "exec", p.ns, "nft", "-f", "-"], input=rules, text=True,
                               check=True, capture_output=True, timeout=60)
            if p.spec.rate:
                self.run(["tc", "qdisc", "add", "dev", p.dev, "root", "tbf", "rate", p.spec.rate,
                          "burst", "32kbit", "latency", "400ms"], check=True)
        if tool_sysctls:
            self.run(["sysctl", "-qw"] + list(tool_sysctls), check=True)
        os.makedirs(self.etc, exist_ok=True)
        with open(os.path.join(self.etc, "hosts"), "w") as f:
            f.write("127.0.0.1 localhost\n"
                    + "".join(f"{p.address} printer{p.index}.test\n" for p in self.printers))
        with open(os.path.join(self.etc, "resolv.conf"), "w") as f:
            f.write("nameserver 127.0.0.1\n")

    def _wait_ready(self, printers, count):
        # Generous: many simulators start at once on a loaded machine.
        deadline = time.monotonic() + 180
        for p in printers:
            while len(p.events("ready")) < count:
                if time.monotonic() > deadline or p.sim.poll() is not None:
                    with open(os.path.join(p.dir, "sim-stderr.txt"), "rb") as f:
                        said = f.read().decode("latin-1")[-2000:]
                    raise RuntimeError(f"simulator of printer {p.index} did not start "
                                       f"(status {p.sim.poll()}): {said}")
                time.sleep(0.05)

    def run(self, command, timeout=60, **kwargs):
        """subprocess.run of command inside the tool namespace, output captured."""
        return subprocess.run(["ip", "netns", "exec", self.tool_ns] + list(command), capture_output=True,
                              timeout=timeout, **kwargs)

    def popen(self, command, **kwargs):
        return subprocess.Popen(["ip", "netns", "exec", self.tool_ns] + list(command), **kwargs)

    def set_unreachable(self, i, unreachable):
        """Cuts printer i off from the tool namespace, or mends the cut."""
        p = self.printers[i]
        subprocess.run(["ip", "-n", self.tool_ns, "route", "add" if unreachable else "del", "unreachable",
                        f"{p.address}/32"], capture_output=True, timeout=60, check=unreachable)

    def restart(self, i, sim_args=None):
        """A new simulator for printer i (with new arguments, if given): up,
        answering echo and reachable, whatever the old one left behind. Its
        log and download state go on."""
        p = self.printers[i]
        p.stop()
        self.set_unreachable(i, False)
        subprocess.run(["ip", "netns", "exec", p.ns, "sysctl", "-qw", "net.ipv4.icmp_echo_ignore_all=0"],
                       check=True, capture_output=True, timeout=60)
        ready = len(p.events("ready"))
        p.start(self, p.sim_args if sim_args is None else sim_args)
        self._wait_ready([p], ready + 1)

    def close(self):
        for p in self.printers:
            p.stop()
        if self.made:
            subprocess.run(["ip", "-force", "-batch", "-"], input="".join(f"netns del {ns}\n" for ns in self.made),
                           text=True, capture_output=True, timeout=120)
        shutil.rmtree(self.etc, ignore_errors=True)
