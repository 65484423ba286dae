"""Plays the router in front of a dead printer: answers each of the
program's echo requests to the printer with one crafted unreachable report
and tells, from when the program's next request comes, whether that report
ended the probe. Run inside the namespace that holds the printer's address,
with the kernel's own echo replies turned off there:

    echo_report.py PRINTER ROUTER

prints "ready" once it listens, then a JSON object: case name -> true when
the probe ended at once.
"""
import json
import os
import socket
import struct
import sys
import time

from echo_inject import checksum, icmp, ip

HOST_UNREACHABLE = 1
# The program pauses a second after each probe and waits five for an answer:
# a probe the report ended is followed by the next after about one second, a
# probe that waited out its time-out after six.
ENDED_WITHIN = 3.5
WAIT = 20


def header_length(packet):
    return (packet[0] & 0x0F) * 4


def to_destination(request, destination):
    """The request as if it had been sent to destination."""
    n = header_length(request)
    head = request[:10] + b"\0\0" + request[12:16] + destination + request[20:n]
    return head[:10] + struct.pack("!H", checksum(head)) + head[12:] + request[n:]


def from_other_program(request):
    """The request as another program, with an identifier of its own, sent it."""
    n = header_length(request)
    (identifier,) = struct.unpack("!H", request[n + 4:n + 6])
    return request[:n + 4] + struct.pack("!H", identifier ^ 0x5A5A) + request[n + 6:]


def cases(printer, router):
    """Case name -> (the report's source, what it quotes of a request)."""
    elsewhere = printer[:3] + bytes([printer[3] ^ 1])
    return {
        "own request, reported by the router": (router, lambda r: r),
        "own request, reported by the printer": (printer, lambda r: r),
        "own identifier, another destination": (router, lambda r: to_destination(r, elsewhere)),
        "another program's request to the printer": (router, from_other_program),
    }


def next_request(listener, printer):
    """The program's next echo request to the printer, and when it came."""
    while True:
        try:
            packet = listener.recv(2048)
        except socket.timeout:
            raise SystemExit(f"no echo request to the printer within {WAIT} s")
        if packet[16:20] == printer and packet[header_length(packet)] == 8:
            return packet, time.monotonic()


def main():
    printer, router = socket.inet_aton(sys.argv[1]), socket.inet_aton(sys.argv[2])
    listener = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    listener.settimeout(WAIT)
    sender = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    os.write(sys.stdout.fileno(), b"ready\n")  # one write: the test reads it with one read
    ended = {}
    request, came = next_request(listener, printer)
    for name, (source, quoted) in cases(printer, router).items():
        # Routers quote the whole of so short a request.
        report = ip(icmp(3, b"\0\0\0\0", quoted(request), HOST_UNREACHABLE), source=source,
                    destination=request[12:16])
        sender.sendto(report, (socket.inet_ntoa(request[12:16]), 0))
        following, next_came = next_request(listener, printer)
        ended[name] = next_came - came < ENDED_WITHIN
        request, came = following, next_came
    print(json.dumps(ended))


if __name__ == "__main__":
    main()
