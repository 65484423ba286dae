"""DNS-SD in a namespace test bed: a private Avahi daemon in the tool
namespace, and small mDNS responders in the printer namespaces.

The recipe, so that nothing of the machine's own D-Bus or Avahi is touched:
- a private dbus-daemon of the system type, listening on a unix socket in
  the bed's folder and allowing everything; every client (the daemon, the
  program under test) finds it through DBUS_SYSTEM_BUS_ADDRESS;
- avahi-daemon in the tool namespace, in a mount namespace of its own
  (unshare -m) with a tmpfs over /run, so its pid file and socket clash
  with no other daemon's; own configuration, publishing nothing,
  --no-drop-root --no-chroot;
- one responder process in each printer namespace (this file, run as a
  program), answering the PTR, SRV, TXT and A questions for that printer's
  services on 224.0.0.251:5353 and announcing them once at start, so the
  records cross the veth pairs as multicast the way a real printer's do.

Only namespace names and addresses are taken from the caller: the bed
works with any set of namespaces that reach each other by multicast.
Every process is ended on close, also when a test fails.
"""
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import time

MDNS_GROUP = "224.0.0.251"
MDNS_PORT = 5353
TTL = 120
CLASS_IN, CACHE_FLUSH = 1, 0x8000
TYPE_A, TYPE_PTR, TYPE_TXT, TYPE_SRV, TYPE_ANY = 1, 12, 16, 33, 255
SERVICES = "_services._dns-sd._udp.local"


def _end(process, timeout=10):
    """Ends a process started in a session of its own, with all it started."""
    if process is None or process.poll() is not None:
        return
    try:
        os.killpg(process.pid, signal.SIGTERM)
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait(timeout=timeout)
    except ProcessLookupError:
        pass


def _wait_for(what, check, process, log, timeout=30):
    deadline = time.monotonic() + timeout
    while not check():
        if process.poll() is not None or time.monotonic() > deadline:
            with open(log, "rb") as f:
                said = f.read().decode("latin-1")[-2000:]
            raise RuntimeError(f"{what} did not start (status {process.poll()}): {said}")
        time.sleep(0.05)


class MdnsBed:
    """A private bus and Avahi daemon for tool_ns; responders added with
    announce(). daemon_options are extra avahi-daemon.conf lines of its
    [server] section (cache-entries-max=..., objects-per-client-max=...)."""

    def __init__(self, case, tool_ns, folder, daemon_options=(), with_daemon=True):
        self.tool_ns, self.dir = tool_ns, folder
        self.bus = self.daemon = None
        self.responders = []
        os.makedirs(folder, exist_ok=True)
        case.addCleanup(self.close)
        self.socket = os.path.join(folder, "system_bus_socket")
        self._start_bus()
        if with_daemon:
            self._start_daemon(daemon_options)

    def environment(self):
        """The environment of a client of this bed's daemon."""
        return dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=f"unix:path={self.socket}")

    def _start_bus(self):
        config = os.path.join(self.dir, "bus.conf")
        with open(config, "w") as f:
            f.write('<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"\n'
                    ' "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">\n'
                    f"<busconfig><type>system</type><listen>unix:path={self.socket}</listen>"
                    "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                    "<allow own=\"*\"/><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                    "<allow eavesdrop=\"true\"/></policy></busconfig>\n")
        log = os.path.join(self.dir, "bus-stderr.txt")
        with open(log, "wb") as err:
            self.bus = subprocess.Popen(["dbus-daemon", "--nofork", "--nopidfile", f"--config-file={config}"],
                                        stdout=subprocess.DEVNULL, stderr=err, start_new_session=True)
        _wait_for("dbus-daemon", lambda: os.path.exists(self.socket), self.bus, log)

    def _start_daemon(self, options):
        config = os.path.join(self.dir, "avahi-daemon.conf")
        with open(config, "w") as f:
            f.write("[server]\nhost-name=holm-finder\ndomain-name=local\nuse-ipv4=yes\nuse-ipv6=no\n"
                    "enable-dbus=yes\n" + "".join(line + "\n" for line in options)
                    + "[wide-area]\nenable-wide-area=no\n"
                    "[publish]\ndisable-publishing=yes\npublish-hinfo=no\npublish-workstation=no\n"
                    "[reflector]\nenable-reflector=no\n")
        log = os.path.join(self.dir, "avahi-stderr.txt")
        script = ("mount -t tmpfs holm-avahi /run && mkdir -p /run/avahi-daemon && "
                  f"exec avahi-daemon --no-drop-root --no-chroot --no-rlimits -f {config}")
        with open(log, "wb") as err:
            self.daemon = subprocess.Popen(["ip", "netns", "exec", self.tool_ns, "unshare", "-m", "sh", "-c", script],
                                           stdout=subprocess.DEVNULL, stderr=err, env=self.environment(),
                                           start_new_session=True)
        _wait_for("avahi-daemon", self._daemon_running, self.daemon, log)

    def _daemon_running(self):
        # AVAHI_SERVER_RUNNING is 2.
        asked = subprocess.run(["dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.Avahi", "/",
                                "org.freedesktop.Avahi.Server.GetState"], capture_output=True, text=True,
                               env=self.environment(), timeout=10)
        return asked.returncode == 0 and "int32 2" in asked.stdout

    def stop_daemon(self):
        _end(self.daemon)

    def announce(self, ns, host, interfaces, services, address=None):
        """Starts the responder of namespace ns: host (a name under .local)
        with services, each a dict of name, type, port and txt (a list of
        str or bytes items). It answers on the local addresses interfaces;
        its A record gives address (interfaces[0] if not given; "" for no A
        record at all)."""
        index = len(self.responders)
        config = os.path.join(self.dir, f"responder{index}.json")
        txt = lambda items: [(i.encode() if isinstance(i, str) else i).hex() for i in items]
        with open(config, "w") as f:
            json.dump({"host": host, "interfaces": list(interfaces),
                       "address": interfaces[0] if address is None else address,
                       "services": [dict(s, txt=txt(s.get("txt", []))) for s in services]}, f)
        log = os.path.join(self.dir, f"responder{index}-stderr.txt")
        with open(log, "wb") as err:
            p = subprocess.Popen(["ip", "netns", "exec", ns, sys.executable, os.path.abspath(__file__), config],
                                 stdout=subprocess.PIPE, stderr=err, start_new_session=True)
        self.responders.append(p)
        if p.stdout.readline() != b"ready\n":
            p.wait(timeout=10)
            with open(log, "rb") as f:
                raise RuntimeError(f"mDNS responder in {ns} did not start: {f.read()[-2000:]!r}")

    def close(self):
        for p in self.responders:
            _end(p)
            p.stdout.close()
        self.responders = []
        _end(self.daemon)
        _end(self.bus)


def link(tool_ns, ns, tool_address, address, prefix=24):
    """A second veth link between tool_ns and ns, for a printer the daemon
    sees on two interfaces; it goes with the namespaces."""
    tag = f"m{os.getpid() % 100000}x{len(ns) + len(address)}{address.split('.')[-1]}"[:12]
    subprocess.run(["ip", "-n", tool_ns, "link", "add", tag, "type", "veth", "peer", "name", "mdns1", "netns", ns],
                   check=True, capture_output=True, timeout=20)
    for space, dev, a in ((tool_ns, tag, tool_address), (ns, "mdns1", address)):
        subprocess.run(["ip", "-n", space, "addr", "add", f"{a}/{prefix}", "dev", dev], check=True,
                       capture_output=True, timeout=20)
        subprocess.run(["ip", "-n", space, "link", "set", dev, "up"], check=True, capture_output=True, timeout=20)


# The responder ---------------------------------------------------------------

def _name(text):
    """A DNS name in wire form; the first label may hold dots of its own
    when given as (instance, rest)."""
    labels = [text[0].encode()] + text[1].split(".") if isinstance(text, tuple) else text.split(".")
    out = b""
    for label in labels:
        label = label.encode() if isinstance(label, str) else label
        out += bytes([len(label)]) + label
    return out + b"\0"


def _read_name(packet, offset):
    labels, jumped, end = [], False, offset
    for _ in range(128):
        length = packet[offset]
        if length & 0xc0 == 0xc0:
            if not jumped:
                end = offset + 2
            offset, jumped = (length & 0x3f) << 8 | packet[offset + 1], True
            continue
        if length == 0:
            return b".".join(labels).lower(), (end if jumped else offset + 1)
        labels.append(packet[offset + 1:offset + 1 + length])
        offset += 1 + length
    raise ValueError("name loops")


def _record(name, rtype, rdata, unique):
    return _name(name) + struct.pack("!HHIH", rtype, CLASS_IN | (CACHE_FLUSH if unique else 0), TTL,
                                     len(rdata)) + rdata


class Records:
    def __init__(self, config):
        host = config["host"]
        self.a = ({host.lower().encode(): _record(host, TYPE_A, socket.inet_aton(config["address"]), True)}
                  if config["address"] else {})
        self.by_name = {}   # lowercase wire-less name -> [(type, record)]
        self.ptr = {}       # service type -> [PTR records]
        self.extra = {}     # service type -> records given along with its PTRs
        for s in config["services"]:
            full = (s["name"], s["type"] + ".local")
            key = s["name"].encode().lower() + b"." + (s["type"] + ".local").encode().lower()
            srv = _record(full, TYPE_SRV, struct.pack("!HHH", 0, 0, s["port"]) + _name(host), True)
            items = [bytes.fromhex(i) for i in s["txt"]] or [b""]
            txt = _record(full, TYPE_TXT, b"".join(bytes([len(i)]) + i for i in items), True)
            self.by_name.setdefault(key, []).extend([(TYPE_SRV, srv), (TYPE_TXT, txt)])
            type_key = (s["type"] + ".local").lower().encode()
            self.ptr.setdefault(type_key, []).append(_record(s["type"] + ".local", TYPE_PTR, _name(full), False))
            self.extra.setdefault(type_key, []).extend([srv, txt])
        self.types = [_record(SERVICES, TYPE_PTR, _name(t.decode()), False) for t in self.ptr]

    def answers(self, qname, qtype):
        out = []
        if qname in self.ptr and qtype in (TYPE_PTR, TYPE_ANY):
            out += self.ptr[qname] + self.extra[qname] + list(self.a.values())
        if qname == SERVICES.encode() and qtype in (TYPE_PTR, TYPE_ANY):
            out += self.types
        out += [r for t, r in self.by_name.get(qname, []) if qtype in (t, TYPE_ANY)]
        if qname in self.by_name and qtype in (TYPE_SRV, TYPE_ANY):
            out += list(self.a.values())
        if qname in self.a and qtype in (TYPE_A, TYPE_ANY):
            out.append(self.a[qname])
        return out

    def everything(self):
        return [r for ptrs in self.ptr.values() for r in ptrs] + \
            [r for e in self.extra.values() for r in e] + list(self.a.values())


def _packets(records):
    """Responses of at most about 1400 bytes, each standing on its own."""
    packets, batch = [], []
    for r in dict.fromkeys(records):
        if batch and sum(map(len, batch)) + len(r) > 1400:
            packets.append(batch)
            batch = []
        batch.append(r)
    if batch:
        packets.append(batch)
    return [struct.pack("!HHHHHH", 0, 0x8400, 0, len(b), 0, 0) + b"".join(b) for b in packets]


def _questions(packet):
    _, flags, qd = struct.unpack("!HHH", packet[:6])
    if flags & 0x8000:
        return []
    offset, out = 12, []
    for _ in range(qd):
        name, offset = _read_name(packet, offset)
        qtype, _ = struct.unpack("!HH", packet[offset:offset + 4])
        offset += 4
        out.append((name, qtype))
    return out


def respond(config_path):
    with open(config_path) as f:
        config = json.load(f)
    records = Records(config)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("", MDNS_PORT))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 255)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
    for local in config["interfaces"]:
        s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                     socket.inet_aton(MDNS_GROUP) + socket.inet_aton(local))

    def send(records_list):
        for local in config["interfaces"]:
            s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(local))
            for packet in _packets(records_list):
                s.sendto(packet, (MDNS_GROUP, MDNS_PORT))

    sys.stdout.write("ready\n")
    sys.stdout.flush()
    send(records.everything())
    while True:
        packet, _ = s.recvfrom(9000)
        try:
            answers = [r for name, qtype in _questions(packet) for r in records.answers(name, qtype)]
        except (ValueError, IndexError, struct.error):
            continue
        if answers:
            send(answers)


if __name__ == "__main__":
    respond(sys.argv[1])
