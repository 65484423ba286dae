#!/usr/bin/env python3
"""Many printers in one process, for the fleet benchmark (bench/fleet.py).

Serves the Telnet console (port 23) and the print port (9100) of each
address listed in --addresses, every one bound on its own: a printer is the
local address a connection came to. A fleet of thousands is split over
several of these processes, each with its own share of the addresses,
since one process may hold no more than 20,000 open files here and every
printer takes two listeners and up to three connections at once. The
kernel answers the echo requests. The console
speaks as tools/printer-sim/printer_sim.py does (login root with the empty
password, "debug printer download", "lpstat", "quit"); data that reaches
the print port in download mode is new firmware: the printer answers for
--restart-delay seconds more, then is down (every packet to it dropped, by
an nftables set with a time-out) for --down-seconds, and comes back out of
download mode.

Every print-port connection is one line of --log: ADDRESS, bytes, SHA-256.
"""
import argparse
import asyncio
import hashlib
import resource
import subprocess

IAC_OFFERS = bytes([255, 251, 1, 255, 251, 3])
PROMPT = b"holm-printer> "
LPSTAT = b"Job  State      Size\r\n---  ---------  ----\r\n"


class Fleet:
    def __init__(self, args):
        self.args = args
        self.download = set()   # addresses in download mode
        self.going_down = []    # addresses to take down at the next batch
        self.log = open(args.log, "a", buffering=1)

    def restart(self, address):
        asyncio.get_running_loop().call_later(self.args.restart_delay, self.take_down, address)

    def take_down(self, address):
        # Restarts come in waves: one nft run takes down all of a wave.
        self.going_down.append(address)
        if len(self.going_down) == 1:
            asyncio.get_running_loop().call_later(0.05, self.flush_down)

    def flush_down(self):
        addresses, self.going_down = self.going_down, []
        for address in addresses:
            self.download.discard(address)
        seconds = self.args.down_seconds
        elements = ", ".join(f"{a} timeout {seconds * 1000:.0f}ms" for a in addresses)
        subprocess.run(["nft", "add", "element", "inet", self.args.table, "down", "{ " + elements + " }"],
                       check=True, capture_output=True)


async def read_line(reader, writer, echo):
    """A line ended by CR (LF and NUL dropped); None when the peer closed."""
    try:
        data = await reader.readuntil(b"\r")
    except (asyncio.IncompleteReadError, ConnectionError):
        return None
    line = data[:-1].replace(b"\n", b"").replace(b"\0", b"")
    if echo:
        writer.write(line)
    return line.decode("latin-1")


async def console(fleet, reader, writer):
    address = writer.get_extra_info("sockname")[0]
    try:
        writer.write(IAC_OFFERS + b"\r\nHOLM test printer\r\n\r\n")
        while True:
            writer.write(b"login: ")
            login = await read_line(reader, writer, True)
            if login is None:
                return
            writer.write(b"\r\nPassword:")
            password = await read_line(reader, writer, False)
            if password is None:
                return
            if login == "root" and password == "":
                break
            writer.write(b"\r\nLogin incorrect\r\n")
        writer.write(b"\r\n" + PROMPT)
        while True:
            command = await read_line(reader, writer, True)
            if command is None or command == "quit":
                return
            writer.write(b"\r\n")
            if command == "lpstat":
                state = b"0    download   0" if address in fleet.download else b"-    idle       0"
                writer.write(LPSTAT + state + b"\r\n")
            elif command == "debug printer download":
                fleet.download.add(address)
            writer.write(PROMPT)
            await writer.drain()
    except ConnectionError:
        pass
    finally:
        writer.close()


async def print_port(fleet, reader, writer):
    address = writer.get_extra_info("sockname")[0]
    firmware = address in fleet.download
    digest, size = hashlib.sha256(), 0
    try:
        while True:
            data = await reader.read(65536)
            if not data:
                break
            digest.update(data)
            size += len(data)
    except ConnectionError:
        pass
    finally:
        writer.close()
    fleet.log.write(f"{address}\t{size}\t{digest.hexdigest()}\n")
    if firmware:
        fleet.restart(address)


async def serve(args):
    fleet = Fleet(args)
    with open(args.addresses) as f:
        addresses = f.read().split()
    servers = []
    for address in addresses:
        servers.append(await asyncio.start_server(lambda r, w: console(fleet, r, w), host=address,
                                                  port=args.telnet_port, backlog=64, reuse_address=True))
        servers.append(await asyncio.start_server(lambda r, w: print_port(fleet, r, w), host=address,
                                                  port=args.raw_port, backlog=64, reuse_address=True))
    fleet.log.write("ready\n")
    await asyncio.Event().wait()


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--telnet-port", type=int, default=23)
    p.add_argument("--raw-port", type=int, default=9100)
    p.add_argument("--addresses", required=True, help="a file of the addresses to serve, one a line")
    p.add_argument("--log", required=True)
    p.add_argument("--table", default="holmsim", help="the nftables table (inet) with the set down")
    p.add_argument("--restart-delay", type=float, default=2.0)
    p.add_argument("--down-seconds", type=float, default=30.0)
    args = p.parse_args()
    # Two listeners a printer, up to three connections, all printers at once.
    resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
    asyncio.run(serve(args))


if __name__ == "__main__":
    main()
