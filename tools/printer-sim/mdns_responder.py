#!/usr/bin/env python3
"""A small mDNS responder for a simulated printer's namespace: it announces
the printer's DNS-SD services on 224.0.0.251:5353 at start, and answers
every query that asks for one of its names (a service type, an instance, its
host, the enumeration of service types) with all of its records: PTR, SRV,
TXT and the host's A record.

  mdns_responder.py --address 198.18.1.1 --host printer1 \\
      --service "HOLM Laser lab-1|_ipp._tcp|631|ty=HOLM Laser 5100|UUID=..."

Each query that reached it is one JSON line of --log, so a test sees the
multicast path at work."""
import argparse
import json
import socket
import struct
import time

GROUP, PORT, TTL = "224.0.0.251", 5353, 120
ENUMERATION = "_services._dns-sd._udp.local"  # what a browser of every type asks first
PTR, TXT, SRV, A, ANY = 12, 16, 33, 1, 255
IN, FLUSH = 1, 0x8000


def encode_name(name):
    out = b""
    for label in name.rstrip(".").split("."):
        data = label.encode()
        out += bytes([len(data)]) + data
    return out + b"\0"


def decode_name(packet, at):
    """(name, offset after it), following compression pointers."""
    labels, end, hops = [], None, 0
    while True:
        length = packet[at]
        if length & 0xC0 == 0xC0:
            if end is None:
                end = at + 2
            at = (length & 0x3F) << 8 | packet[at + 1]
            hops += 1
            if hops > 32:
                raise ValueError("compression loop")
            continue
        if length == 0:
            return ".".join(labels), (end if end is not None else at + 1)
        labels.append(packet[at + 1:at + 1 + length].decode("utf-8", "replace"))
        at += 1 + length


def questions(packet):
    """The (name, type) asked by a query; none for a response."""
    ident, flags, count = struct.unpack(">HHH", packet[:6])
    if flags & 0x8000:
        return []
    asked, at = [], 12
    for _ in range(count):
        name, at = decode_name(packet, at)
        qtype, _ = struct.unpack(">HH", packet[at:at + 4])
        at += 4
        asked.append((name.lower(), qtype))
    return asked


def record(name, rtype, rclass, rdata):
    return encode_name(name) + struct.pack(">HHIH", rtype, rclass, TTL, len(rdata)) + rdata


class Printer:
    def __init__(self, address, host, services):
        self.address, self.host = address, host + ".local"
        self.services = []  # (instance full name, type full name, port, txt list)
        for text in services:
            instance, stype, port, *txt = text.split("|")
            self.services.append((f"{instance}.{stype}.local", f"{stype}.local", int(port), txt))

    def names(self):
        found = {self.host.lower(), ENUMERATION.lower()}
        for full, stype, _, _ in self.services:
            found |= {full.lower(), stype.lower()}
        return found

    def response(self):
        answers = []
        for stype in sorted({stype for _, stype, _, _ in self.services}):
            answers.append(record(ENUMERATION, PTR, IN, encode_name(stype)))
        for full, stype, port, txt in self.services:
            answers.append(record(stype, PTR, IN, encode_name(full)))
            answers.append(record(full, SRV, IN | FLUSH, struct.pack(">HHH", 0, 0, port) + encode_name(self.host)))
            strings = b"".join(bytes([len(t.encode())]) + t.encode() for t in txt) or b"\0"
            answers.append(record(full, TXT, IN | FLUSH, strings))
        answers.append(record(self.host, A, IN | FLUSH, socket.inet_aton(self.address)))
        return struct.pack(">HHHHHH", 0, 0x8400, 0, len(answers), 0, 0) + b"".join(answers)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--address", required=True)
    p.add_argument("--host", required=True)
    p.add_argument("--host-address", default=None,
                   help="the address its host name stands for (default --address): one of its others")
    p.add_argument("--service", action="append", default=[], metavar="INSTANCE|TYPE|PORT[|KEY=VALUE...]")
    p.add_argument("--log", default=None)
    args = p.parse_args()
    printer = Printer(args.host_address or args.address, args.host, args.service)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("", PORT))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                 socket.inet_aton(GROUP) + socket.inet_aton(args.address))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(args.address))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 255)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
    log = open(args.log, "a", buffering=1) if args.log else None
    names = printer.names()
    for _ in range(2):  # announced at start, as a device coming up does
        s.sendto(printer.response(), (GROUP, PORT))
        time.sleep(1)
    if log:
        log.write(json.dumps({"event": "ready"}) + "\n")
    while True:
        packet, sender = s.recvfrom(9000)
        try:
            asked = questions(packet)
        except (ValueError, IndexError, struct.error):
            continue
        wanted = [name for name, qtype in asked if name in names]
        if wanted:
            s.sendto(printer.response(), (GROUP, PORT))
            if log:
                log.write(json.dumps({"event": "query", "from": sender[0], "names": wanted}) + "\n")


if __name__ == "__main__":
    main()
