"""SNMP agents for simulated printers: Debian's snmpd, one a namespace,
serving the values a test chooses with override lines.

An agent takes only a namespace name and the address to listen on, so it
fits any bed that puts a printer in a namespace of its own. It reads no
configuration of the machine (-C), keeps its persistent state in the
scratch folder, and is ended on cleanup even when a test fails.
"""
import os
import shutil
import socket
import subprocess
import sys
import time

SYS_DESCR = "1.3.6.1.2.1.1.1.0"
SYS_NAME = "1.3.6.1.2.1.1.5.0"
DEVICE_DESCR = "1.3.6.1.2.1.25.3.2.1.3.1"
SERIAL = "1.3.6.1.2.1.43.5.1.1.17.1"


def available():
    """Why agents cannot be run here, or None."""
    for program in ("snmpd", "snmpget"):
        if shutil.which(program) is None:
            return f"needs {program} (Debian's snmpd and snmp)"
    return None


def text(value):
    """An octet string override; bytes with control characters are written
    in hex, which snmpd takes as the raw bytes."""
    if isinstance(value, bytes):
        return ("octet_str", "0x" + value.hex())
    if '"' in value or "\\" in value:
        raise ValueError("a value snmpd's configuration cannot quote: " + value)
    return ("octet_str", f'"{value}"')


def printer(model=None, name=None, serial=None, sys_descr=None):
    """The override values of a printer: hrDeviceDescr, sysName,
    prtGeneralSerialNumber and sysDescr, each only when given."""
    values = {}
    for oid, value in ((DEVICE_DESCR, model), (SYS_NAME, name), (SERIAL, serial), (SYS_DESCR, sys_descr)):
        if value is not None:
            values[oid] = text(value)
    return values


def _environment(folder):
    env = dict(os.environ)
    # No MIB is loaded (numeric OIDs only), no configuration of the machine
    # read, state kept in the scratch folder.
    env.update(MIBS="", MIBDIRS=os.path.join(folder, "no-mibs"), SNMP_PERSISTENT_DIR=os.path.join(folder, "state"),
               SNMPCONFPATH=os.path.join(folder, "conf"))
    return env


class Agent:
    """snmpd in namespace ns on address:161, answering community with
    values ({OID: (type, value)}, as printer() gives them)."""

    def __init__(self, case, ns, address, values, folder, community="public"):
        self.ns, self.address, self.community = ns, address, community
        self.folder = folder
        self.proc = None
        os.makedirs(os.path.join(folder, "state"), exist_ok=True)
        os.makedirs(os.path.join(folder, "conf"), exist_ok=True)
        self.conf = os.path.join(folder, "snmpd.conf")
        with open(self.conf, "w") as f:
            f.write(f"rocommunity {community} default\n")
            for oid, (kind, value) in values.items():
                f.write(f"override {oid} {kind} {value}\n")
        case.addCleanup(self.stop)
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", ns, "snmpd", "-f", "-C", "-c", self.conf, "-p", os.path.join(folder, "snmpd.pid"),
             "-Lf", os.path.join(folder, "snmpd.log"), f"udp:{address}:161"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=_environment(folder))
        self._wait_ready()

    def get(self, oid, timeout=0.3):
        """snmpget of one OID from inside the agent's namespace: the
        completed process (its value in stdout)."""
        return subprocess.run(
            ["ip", "netns", "exec", self.ns, "snmpget", "-v2c", "-c", self.community, "-t", str(timeout), "-r", "0",
             "-On", "-Oe", self.address, oid],
            capture_output=True, text=True, timeout=30, env=_environment(self.folder))

    def _wait_ready(self):
        deadline = time.monotonic() + 30
        while True:
            if self.proc.poll() is not None:
                raise RuntimeError(f"snmpd in {self.ns} ended ({self.proc.returncode}): {self._log()}")
            if self.get(SYS_DESCR).returncode == 0:
                return
            if time.monotonic() > deadline:
                raise RuntimeError(f"snmpd in {self.ns} did not answer within 30 s: {self._log()}")
            time.sleep(0.1)

    def _log(self):
        try:
            with open(os.path.join(self.folder, "snmpd.log"), errors="replace") as f:
                return f.read()[-2000:]
        except OSError:
            return ""

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=30)


# ---- An agent that answers wrong on purpose --------------------------------
# snmpd answers by the rules; these answers break them. A few lines of BER
# are enough: the request is read for its id and community, the answer is
# built from scratch.

def _tlv(tag, value):
    n = len(value)
    length = bytes([n]) if n < 0x80 else bytes([0x81, n]) if n < 0x100 else bytes([0x82, n >> 8, n & 0xFF])
    return bytes([tag]) + length + value


def _integer(n):
    return _tlv(0x02, n.to_bytes(max(1, (n.bit_length() + 8) // 8), "big", signed=True))


def _oid(dotted):
    parts = [int(x) for x in dotted.split(".")]
    body = bytes([40 * parts[0] + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        p >>= 7
        while p:
            chunk.insert(0, 0x80 | (p & 0x7F))
            p >>= 7
        body += bytes(chunk)
    return _tlv(0x06, body)


def _read(data, at):
    """One TLV at offset at: (tag, value, offset after it)."""
    tag, n = data[at], data[at + 1]
    at += 2
    if n & 0x80:
        count = n & 0x7F
        n = int.from_bytes(data[at:at + count], "big")
        at += count
    return tag, data[at:at + n], at + n


def _request(data):
    """The community and request id of a GET."""
    _, message, _ = _read(data, 0)
    _, _, at = _read(message, 0)
    _, community, at = _read(message, at)
    _, pdu, _ = _read(message, at)
    _, request_id, _ = _read(pdu, 0)
    return community, int.from_bytes(request_id, "big", signed=True)


def _response(community, request_id, status, bindings, tag=0xA2):
    varbinds = b"".join(_tlv(0x30, _oid(oid) + value) for oid, value in bindings)
    pdu = _integer(request_id) + _integer(status) + _integer(1 if status else 0) + _tlv(0x30, varbinds)
    return _tlv(0x30, _integer(1) + _tlv(0x04, community) + _tlv(tag, pdu))


ASKED = (SYS_DESCR, SYS_NAME, DEVICE_DESCR, SERIAL)
CRAFTED = {
    # genErr for the whole request, the objects echoed back.
    "error-status": lambda: (5, [(oid, b"\x05\x00") for oid in ASKED]),
    # Strings, but of objects that were not asked.
    "other-objects": lambda: (0, [("1.3.6.1.2.1.1.4.0", _tlv(0x04, b"x"))] + [(oid, _tlv(0x04, b"y")) for oid in ASKED[1:]]),
    # Fewer values than asked.
    "short": lambda: (0, [(SYS_DESCR, _tlv(0x04, b"HOLM Laser 5100"))]),
    # A report (an SNMPv3 notion) where a response belongs.
    "report": lambda: (0, [(oid, _tlv(0x04, b"z")) for oid in ASKED], 0xA8),
}


def serve(address, kind):
    """Answers every GET on address:161 with the crafted answer kind, until
    killed. Prints "ready" once it listens."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((address, 161))
    print("ready", flush=True)
    while True:
        data, peer = sock.recvfrom(4096)
        community, request_id = _request(data)
        sock.sendto(_response(community, request_id, *CRAFTED[kind]()), peer)


class CraftedAgent:
    """serve(address, kind) in namespace ns, ended on cleanup."""

    def __init__(self, case, ns, address, kind):
        self.proc = None
        case.addCleanup(self.stop)
        self.proc = subprocess.Popen(["ip", "netns", "exec", ns, sys.executable, os.path.abspath(__file__), address, kind],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True)
        if self.proc.stdout.readline() != "ready\n":
            raise RuntimeError(f"the crafted agent on {address} did not start ({self.proc.poll()})")

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=30)
            self.proc.stdout.close()


if __name__ == "__main__":
    serve(sys.argv[1], sys.argv[2])
