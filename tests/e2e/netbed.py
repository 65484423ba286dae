"""A private two-namespace network with a simulated printer in one side.

The tool runs in namespace holmT<pid> (198.18.0.1), the printer simulator
in holmP<pid> (198.18.0.5), joined by a veth pair. Nothing leaves these
namespaces; cleanup removes them even when a test fails.

Under Wine every bed has a Wine prefix of its own, with its server started
inside the tool namespace: Wine's sockets and echo requests are made by its
server processes, which live in the namespace where the server started. A
shared prefix could hand a run in this bed a server left running in another
namespace, or in the machine's own.
"""
import json
import os
import shutil
import subprocess
import sys
import threading
import time

import harness

HERE = os.path.dirname(os.path.abspath(__file__))
SIM = os.path.join(HERE, "..", "..", "tools", "printer-sim", "printer_sim.py")
TOOL_IP = "198.18.0.1"
PRINTER_IP = "198.18.0.5"
NO_HOST_IP = "198.18.0.9"
_counter = [0]
_lock = threading.Lock()


def _ip(*args):
    subprocess.run(["ip"] + list(args), check=True, capture_output=True, timeout=20)


def available():
    """Why the bed cannot be built here, or None."""
    if os.geteuid() != 0:
        return "needs root for ip netns"
    if shutil.which("ip") is None:
        return "no ip command"
    return None


class NetBed:
    def __init__(self, case, sim_args=(), ping_sockets=False, down_unreachable=False,
                 tool_sysctls=()):
        with _lock:
            _counter[0] += 1
            tag = f"{os.getpid()}x{_counter[0]}"
        self.tool_ns = f"holmT{tag}"
        self.printer_ns = f"holmP{tag}"
        self.dir = case.dir
        self.log = os.path.join(self.dir, "sim-log.jsonl")
        self.sim = None
        self.wine = None
        self.etc = f"/etc/netns/{self.tool_ns}"
        case.addCleanup(self.close)
        _ip("netns", "add", self.tool_ns)
        _ip("netns", "add", self.printer_ns)
        _ip("-n", self.tool_ns, "link", "add", "veth0", "type", "veth", "peer", "name", "veth1",
            "netns", self.printer_ns)
        _ip("-n", self.tool_ns, "addr", "add", f"{TOOL_IP}/24", "dev", "veth0")
        _ip("-n", self.printer_ns, "addr", "add", f"{PRINTER_IP}/24", "dev", "veth1")
        for ns, dev in ((self.tool_ns, "veth0"), (self.printer_ns, "veth1")):
            _ip("-n", ns, "link", "set", "lo", "up")
            _ip("-n", ns, "link", "set", dev, "up")
        # A host that is never there answers at once rather than after ARP gives up.
        _ip("-n", self.tool_ns, "route", "add", "unreachable", f"{NO_HOST_IP}/32")
        # Ping sockets off: the tool must manage with a raw socket.
        sysctls = ["net.ipv4.ping_group_range=" + ("0 2147483647" if ping_sockets else "1 0")]
        subprocess.run(["ip", "netns", "exec", self.tool_ns, "sysctl", "-qw"] + sysctls
                       + list(tool_sysctls), check=True, capture_output=True, timeout=20)
        os.makedirs(self.etc, exist_ok=True)
        with open(os.path.join(self.etc, "hosts"), "w") as f:
            f.write(f"127.0.0.1 localhost\n{PRINTER_IP} printer.test\n"
                    "255.255.255.255 broadcast.test\n")
        with open(os.path.join(self.etc, "resolv.conf"), "w") as f:
            f.write("nameserver 127.0.0.1\n")
        # Before the printer starts, so its timed faults begin with the run.
        if harness.WINE:
            self.wine = harness.wine_session().copy(os.path.join(self.dir, "wine"),
                                                    ["ip", "netns", "exec", self.tool_ns])
            self.wine.start(harness.BIN)
        raw_dir = os.path.join(self.dir, "raw")
        os.makedirs(raw_dir, exist_ok=True)
        sim_stderr = open(os.path.join(self.dir, "sim-stderr.txt"), "wb")
        self.sim = subprocess.Popen(
            ["ip", "netns", "exec", self.printer_ns, sys.executable, SIM, "--telnet-port", "23",
             "--raw-port", "9100", "--raw-dir", raw_dir, "--state-file",
             os.path.join(self.dir, "state.json"), "--log", self.log]
            + (["--down-unreachable-from", self.tool_ns] if down_unreachable else [])
            + list(sim_args),
            stdout=subprocess.DEVNULL, stderr=sim_stderr)
        sim_stderr.close()
        # Generous: on a loaded machine many beds start at once.
        deadline = time.monotonic() + 60
        while not self.events("ready"):
            if time.monotonic() > deadline or self.sim.poll() is not None:
                with open(os.path.join(self.dir, "sim-stderr.txt"), "rb") as f:
                    said = f.read().decode("latin-1")[-2000:]
                raise RuntimeError(f"printer simulator did not start (status {self.sim.poll()}): {said}")
            time.sleep(0.05)

    def events(self, kind=None):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            found = [json.loads(line) for line in f if line.strip()]
        return [e for e in found if kind is None or e["event"] == kind]

    def raw_jobs(self, timeout=10, settle=0.5):
        """The bytes of each print-port connection, in order, once every
        connection has ended and no new one has come for settle seconds
        (the printer may still be taking the last one when the tool exits)."""
        deadline = time.monotonic() + timeout
        seen, since = None, time.monotonic()
        while time.monotonic() < deadline:
            now = (len(self.events("raw-open")), len(self.events("raw")))
            if now != seen:
                seen, since = now, time.monotonic()
            elif now[0] == now[1] and time.monotonic() - since >= settle:
                break
            time.sleep(0.05)
        jobs = []
        for e in self.events("raw"):
            with open(e["file"], "rb") as f:
                jobs.append(f.read())
        return jobs

    def close(self):
        if self.sim is not None and self.sim.poll() is None:
            self.sim.kill()
            self.sim.wait(timeout=10)
        if self.wine is not None:
            self.wine.stop()
        for ns in (self.tool_ns, self.printer_ns):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True, timeout=20)
        shutil.rmtree(self.etc, ignore_errors=True)

    def _environment(self):
        return self.wine.environment() if self.wine is not None else harness.environment()

    def holm(self, case, args, user=None, timeout=60, program="bundle.exe", extra_env=None):
        """Runs the tool from the scratch directory inside the tool namespace;
        extra_env adds variables to its environment."""
        wrap = ["ip", "netns", "exec", self.tool_ns]
        if user is not None:
            wrap += ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups"]
        command = wrap + harness.PREFIX + [os.path.join(case.dir, program)] + list(args)
        done = harness.run_process(command, cwd=case.dir, timeout=timeout,
                                   env=dict(self._environment(), **(extra_env or {})))
        return harness.Result(done.returncode, harness._text(done.stdout), harness._text(done.stderr))
