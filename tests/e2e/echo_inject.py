"""Hands crafted ICMP packets to a running holm's raw echo socket and tells
which of them its socket kept. Run inside the program's network namespace
(the namespace's loopback delivers each packet to every raw ICMP socket in
it) while the program does not read its socket:

    echo_inject.py PID

prints a JSON object: case name -> true when the program's socket queued
the packet. The program's echo identifier is its process id's low 16 bits.
"""
import json
import os
import socket
import struct
import sys
import time

LOOPBACK = socket.inet_aton("127.0.0.1")
OPTIONS = b"\x01\x01\x01\x00"  # three no-ops and the end: an IP header of 24 bytes


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def icmp(kind, rest, body, code=0):
    """An ICMP message: type, code, the four bytes after the checksum, body."""
    head = struct.pack("!BBH", kind, code, 0) + rest
    total = checksum(head + body)
    return struct.pack("!BBH", kind, code, total) + rest + body


def ip(payload, options=b"", source=LOOPBACK, destination=LOOPBACK):
    ihl = 5 + len(options) // 4
    head = struct.pack("!BBHHHBBH4s4s", 0x40 | ihl, 0, 4 * ihl + len(payload), 0, 0, 64, socket.IPPROTO_ICMP,
                       0, source, destination) + options
    return head[:10] + struct.pack("!H", checksum(head)) + head[12:] + payload


def echo(kind, identifier, options=b""):
    return ip(icmp(kind, struct.pack("!HH", identifier, 7), b"x"), options)


def unreachable(quoted):
    return ip(icmp(3, b"\0\0\0\0", quoted))


def cases(own):
    other = own ^ 0x5A5A
    return {
        "own reply": echo(0, own),
        "other reply": echo(0, other),
        "own reply behind IP options": echo(0, own, OPTIONS),
        "unreachable quoting own request": unreachable(echo(8, own)),
        "unreachable quoting own request with IP options": unreachable(echo(8, own, OPTIONS)),
        "unreachable quoting other request": unreachable(echo(8, other)),
        "unreachable quoting own identifier in a timestamp request": unreachable(echo(13, own)),
    }


def raw_sockets(pid):
    """inode -> bytes queued, of the raw sockets in pid's namespace."""
    with open(f"/proc/{pid}/net/raw") as f:
        return {fields[9]: int(fields[4].split(":")[1], 16) for fields in map(str.split, f.readlines()[1:])}


def raw_socket_of(pid):
    held = {os.readlink(f"/proc/{pid}/fd/{fd}")[8:-1] for fd in os.listdir(f"/proc/{pid}/fd")}
    found = held & set(raw_sockets(pid))
    if len(found) != 1:
        raise SystemExit(f"process {pid} holds {len(found)} raw sockets")
    return found.pop()


def queued_bytes(pid, inode):
    try:
        return raw_sockets(pid)[inode]
    except (OSError, KeyError):
        raise SystemExit(f"process {pid} no longer holds its raw socket")


def icmp_part(packet):
    return packet[(packet[0] & 0x0F) * 4:]


def main():
    pid = int(sys.argv[1])
    inode = raw_socket_of(pid)
    sender = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    # A socket without a filter of its own: once it has a packet, the kernel
    # has offered that packet to every raw ICMP socket of the namespace.
    witness = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    witness.settimeout(10)
    kept = {}
    for name, packet in cases(pid & 0xFFFF).items():
        before = queued_bytes(pid, inode)
        sender.sendto(packet, ("127.0.0.1", 0))
        while icmp_part(witness.recv(2048)) != icmp_part(packet):
            pass
        time.sleep(0.02)
        kept[name] = queued_bytes(pid, inode) > before
    print(json.dumps(kept))


if __name__ == "__main__":
    main()
