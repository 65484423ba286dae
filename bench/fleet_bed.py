"""The fleet benchmark's network: a control namespace and a printers'
namespace joined by one veth pair, every printer one address in the
printers' namespace, and the simulated printers of one run at a time
(bench/fleet_sim.py, split over processes of a share of addresses each).
Nothing leaves the two namespaces; close() removes them and ends the
simulators, also after a failure.
"""
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SIM = os.path.join(HERE, "fleet_sim.py")
TABLE = ("table inet holmsim {\n set down { type ipv4_addr; flags timeout; }\n"
         " chain input { type filter hook input priority 0; ip daddr @down drop; }\n}\n")


def address(i):
    return f"198.18.{1 + i // 250}.{1 + i % 250}"


def sh(*command, ns=None, **kwargs):
    prefix = ["ip", "netns", "exec", ns] if ns else []
    return subprocess.run(prefix + list(command), check=True, capture_output=True, timeout=300, **kwargs)


class Bed:
    """The two namespaces with count printer addresses (0 .. count-1)."""

    def __init__(self, scratch, count, ping_sockets):
        if count > 250 * 254:
            raise ValueError("more printers than 198.18.0.0/16 holds at 250 a block")
        self.scratch = scratch
        self.tool, self.printers = f"holmB{os.getpid()}t", f"holmB{os.getpid()}p"
        self.sims = []
        sh("ip", "-batch", "-", input=f"netns add {self.tool}\nnetns add {self.printers}\n".encode())
        try:
            self._link(count)
            sh("sysctl", "-qw", "net.ipv4.ping_group_range=" + ("0 2147483647" if ping_sockets else "1 0"),
               ns=self.tool)
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
        sh("nft", "-f", "-", input=TABLE.encode(), ns=self.printers)

    def start(self, first, count, per_process, down_seconds, restart_delay=2.0):
        """The printers first .. first+count-1, per_process of them a
        simulator; returns once every one of them listens."""
        self.stop()
        for n, start in enumerate(range(first, first + count, per_process)):
            name = os.path.join(self.scratch, f"sim-{first}-{n}")
            with open(name + ".addresses", "w") as f:
                f.write("".join(address(i) + "\n" for i in range(start, min(first + count, start + per_process))))
            log = name + ".log"
            with open(name + ".err", "w") as err:
                process = subprocess.Popen(["ip", "netns", "exec", self.printers, sys.executable, SIM,
                                            "--addresses", name + ".addresses", "--log", log,
                                            "--down-seconds", str(down_seconds),
                                            "--restart-delay", str(restart_delay)],
                                           stdout=subprocess.DEVNULL, stderr=err)
            self.sims.append((process, log, name + ".err"))
        deadline = time.monotonic() + 120
        for process, log, err in self.sims:
            while not os.path.exists(log) or "ready" not in open(log).read():
                if process.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError(f"a simulator did not start: {open(err).read()[-2000:]}")
                time.sleep(0.1)

    def jobs(self):
        """Every print-port connection of the running simulators: (address,
        bytes, SHA-256)."""
        found = []
        for _, log, _ in self.sims:
            with open(log) as f:
                found += [line.rstrip("\n").split("\t") for line in f if "\t" in line]
        return found

    def stop(self):
        """Ends the simulators; returns the CPU seconds they spent."""
        seconds = 0.0
        for process, _, _ in self.sims:
            try:
                with open(f"/proc/{process.pid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                seconds += sum(int(v) for v in fields[11:15]) / os.sysconf("SC_CLK_TCK")  # with their nft runs
            except OSError:
                pass
            if process.poll() is None:
                process.kill()
            process.wait()
        self.sims = []
        return seconds

    def close(self):
        self.stop()
        subprocess.run(["ip", "-force", "-batch", "-"], input=f"netns del {self.tool}\nnetns del {self.printers}\n",
                       text=True, capture_output=True, timeout=120)
