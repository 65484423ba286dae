#!/usr/bin/env python3
"""A stand-in printer for the tests: a Telnet console, a raw print port and,
with --ipp-port, an IPP service that reports its firmware and model.

Runs by hand as well:
  python3 printer_sim.py --telnet-port 23 --raw-port 9100 --state-file state.json

Every login, command and print-port connection goes to --log as one JSON
line, so a test can see what the tool did.

In download mode the data of the next print-port connection is taken as new
firmware: the printer then restarts. It goes on answering for a moment, goes
down (no echo answers) and comes back up out of download mode, running the
firmware that --installs names (without it, the firmware it had).
"""
import argparse
import json
import os
import socket
import socketserver
import struct
import subprocess
import threading
import time

import ipp_service

IAC_OFFERS = bytes([255, 251, 1, 255, 251, 3])
PROMPT = b"holm-printer> "


class State:
    def __init__(self, args):
        self.args = args
        self.lock = threading.Lock()
        self.download = args.download_mode
        self.down = False
        self.raw_count = 0
        self.ipp_server = None
        self.identity = None  # (uuid, name, serial), fixed by the first IPP request
        self.firmware = [ipp_service.parse_firmware(f) for f in args.firmware]
        self.firmware = [(name or "main", version) for name, version in self.firmware]
        if args.state_file and os.path.exists(args.state_file):
            with open(args.state_file) as f:
                saved = json.load(f)
            self.download = saved.get("download", False)
            self.firmware = [tuple(f) for f in saved.get("firmware", self.firmware)]

    def set_download(self, on=True):
        with self.lock:
            self.download = on
            self.save()

    def install(self, text):
        with self.lock:
            self.firmware = ipp_service.installed(self.firmware, ipp_service.parse_firmware(text))
            self.save()

    def save(self):
        if self.args.state_file:
            with open(self.args.state_file, "w") as f:
                json.dump({"download": self.download, "firmware": self.firmware}, f)

    def log(self, **event):
        if not self.args.log:
            return
        with self.lock:
            with open(self.args.log, "a") as f:
                f.write(json.dumps(event) + "\n")
                f.flush()


def read_line(conn, echo=True):
    """A line ended by CR (LF and NUL after it are dropped); None on close."""
    data = bytearray()
    while True:
        b = conn.recv(1)
        if not b:
            return None
        if b == b"\r":
            return data.decode("latin-1")
        if b in (b"\n", b"\0"):
            continue
        if b[0] == 255:  # a Telnet command from the client: skip its option byte
            conn.recv(2)
            continue
        data += b
        if echo:
            conn.sendall(b)


def lpstat_text(state):
    lines = ["Job  State      Size", "---  ---------  ----"]
    if state.download:
        lines.append("0    download   0")
    else:
        lines.append("-    idle       0")
    text = "\r\n".join(lines) + "\r\n"
    pad = state.args.long_lpstat
    if pad and len(text) < pad:
        filler = "".join("queue entry %05d\r\n" % i for i in range(pad // 19 + 1))
        text = (text + filler)[:pad - 2] + "\r\n"
    return text.encode()


def snmp_text(state):
    lines = ["snmp: starting agent", "snmp: creating tables"]
    text = "\r\n".join(lines) + "\r\n"
    if state.args.booting:
        after = state.args.done_after_bytes
        if after:
            while len(text) < after:
                text += "snmp: waiting for engine\r\n"
            text += "snmp: done creating tables\r\n"
    else:
        text += "snmp: done creating tables\r\n"
    return text.encode()


def flood(conn, size):
    """Console noise that never holds the login prompt."""
    block = b"boot: checking memory bank ....... ok\r\n" * 1600
    sent = 0
    while sent < size:
        part = block[:size - sent]
        conn.sendall(part)
        sent += len(part)


class Console(socketserver.BaseRequestHandler):
    def handle(self):
        state = self.server.state
        args = state.args
        conn = self.request
        state.log(event="console-open")
        if state.down:
            return
        try:
            conn.sendall(IAC_OFFERS + b"\r\nHOLM test printer\r\n\r\n")
            if args.silent_console:
                time.sleep(30)
                return
            if args.flood_bytes:
                flood(conn, args.flood_bytes)
                state.log(event="flooded", size=args.flood_bytes)
                time.sleep(30)
                return
            while True:
                conn.sendall(b"login: ")
                login = read_line(conn)
                if login is None:
                    return
                if args.close_mid_dialogue:
                    state.log(event="closed", login=login)
                    return
                conn.sendall(b"\r\nPassword:")
                password = read_line(conn, echo=False)
                if password is None:
                    return
                ok = login == args.user and password == args.password
                state.log(event="login", login=login, password=password, ok=ok)
                if ok:
                    break
                conn.sendall(b"\r\nLogin incorrect\r\n")
            conn.sendall(b"\r\n" + PROMPT)
            while True:
                command = read_line(conn)
                if command is None:
                    return
                state.log(event="command", command=command)
                conn.sendall(b"\r\n")
                if command == "quit":
                    return
                if command == "lpstat":
                    conn.sendall(lpstat_text(state))
                    if state.download and args.silent_after_check:
                        set_echo(False)
                elif command == "debug printer download" and not args.ignore_download:
                    state.set_download()
                elif command == "debug snmp logs":
                    conn.sendall(snmp_text(state))
                if args.endless_output:
                    while True:
                        conn.sendall(b"more output\r\n")
                conn.sendall(PROMPT)
        except OSError:
            return


TALK_BACK = b"@PJL INFO STATUS\r\nCODE=10001\r\nDISPLAY=\"READY\"\r\nONLINE=TRUE\r\n"


class Raw(socketserver.BaseRequestHandler):
    """The print port: stores each connection's bytes as raw/jobNNN.bin."""

    def handle(self):
        state = self.server.state
        if state.down:
            return
        with state.lock:
            state.raw_count += 1
            n = state.raw_count
            firmware_expected = state.download
        path = os.path.join(state.args.raw_dir or ".", "job%03d.bin" % n)
        state.log(event="raw-open", job=n)
        with open(path, "wb") as f:
            size, how = self.receive(f)
        state.log(event="raw", job=n, file=path, size=size, end=how)
        if how == "stalled":
            self.stall()
        if how != "eof":
            return
        # A printer that holds the connection restarts once it lets go.
        self.hold_open()
        if firmware_expected:
            threading.Thread(target=restart, args=(state, self.request.getsockname()[0]),
                             daemon=True).start()

    def receive(self, f):
        """Reads to the end of the stream, or stops as the switches say:
        (bytes stored, "eof" | "closed" | "reset" | "stalled" | "peer-reset")."""
        args = self.server.state.args
        conn = self.request
        if args.talk_back:
            conn.sendall((TALK_BACK * (args.talk_back // len(TALK_BACK) + 1))[:args.talk_back])
        size = 0
        stop_at = args.raw_close_after or args.raw_reset_after or args.raw_stall_after
        while True:
            limit = 4096 if args.read_delay_ms else 65536
            if stop_at:
                limit = min(limit, stop_at - size)
                if limit <= 0:
                    if args.raw_stall_after:
                        return size, "stalled"
                    if args.raw_reset_after:
                        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                        conn.close()
                        return size, "reset"
                    return size, "closed"
            try:
                data = conn.recv(limit)
            except OSError:
                return size, "peer-reset"
            if not data:
                return size, "eof"
            f.write(data)
            size += len(data)
            if args.read_delay_ms:
                time.sleep(args.read_delay_ms / 1000)

    def stall(self):
        """A printer that has stopped taking data: the connection stays open
        and unread, whatever the tool does, until the printer is ended."""
        self.server.state.log(event="raw-stall", at=time.monotonic())
        while True:
            time.sleep(3600)

    def hold_open(self):
        """A printer that does not close after the upload; with --chatter it
        keeps talking, one line a second, until the tool goes away."""
        args = self.server.state.args
        if not args.hold_open:
            return
        started = time.monotonic()
        while time.monotonic() - started < args.hold_open:
            if args.chatter:
                try:
                    self.request.sendall(b"@PJL USTATUS TIMED\r\n")
                except OSError:
                    self.server.state.log(event="raw-peer-gone",
                                          after=round(time.monotonic() - started, 1))
                    return
            time.sleep(1)


def set_echo(answering):
    # Per network namespace: only this printer stops answering. Outside a
    # namespace of its own (run by hand, not root) the echo stays as it is.
    try:
        with open("/proc/sys/net/ipv4/icmp_echo_ignore_all", "w") as f:
            f.write("0" if answering else "1")
    except OSError:
        pass


def set_route(state, address, unreachable):
    ns = state.args.down_unreachable_from
    if ns:
        subprocess.run(["ip", "-n", ns, "route", "add" if unreachable else "del",
                        "unreachable", address + "/32"], check=False, capture_output=True)


def restart(state, address):
    """New firmware: finish up, go down, come back out of download mode."""
    args = state.args
    state.log(event="restart")
    if args.never_shut_down:
        return
    time.sleep(args.restart_delay)
    state.down = True
    if args.ipp_gone_after_restart and state.ipp_server:
        state.ipp_server.shutdown()
        state.ipp_server.server_close()
    state.set_download(False)
    set_echo(False)
    set_route(state, address, True)
    state.log(event="down")
    if args.never_come_back:
        return
    time.sleep(args.down_seconds)
    if args.installs:
        state.install(args.installs)
    set_route(state, address, False)
    set_echo(True)
    state.down = False
    state.log(event="up")


class Server(socketserver.ThreadingMixIn, socketserver.TCPServer):
    allow_reuse_address = True
    daemon_threads = True


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--host", default="0.0.0.0")
    p.add_argument("--telnet-port", type=int, default=23)
    p.add_argument("--raw-port", type=int, default=9100)
    p.add_argument("--raw-dir", default=None)
    p.add_argument("--state-file", default=None)
    p.add_argument("--log", default=None)
    p.add_argument("--user", default="root")
    p.add_argument("--password", default="")
    p.add_argument("--silent-console", action="store_true")
    p.add_argument("--endless-output", action="store_true")
    p.add_argument("--close-mid-dialogue", action="store_true")
    p.add_argument("--long-lpstat", type=int, default=0)
    p.add_argument("--booting", action="store_true")
    p.add_argument("--done-after-bytes", type=int, default=0)
    p.add_argument("--flood-bytes", type=int, default=0,
                   help="the console sends this many bytes of noise and never a login prompt")
    p.add_argument("--echo-silent-first", type=float, default=0,
                   help="answer no echo for this many seconds after start")
    p.add_argument("--download-mode", action="store_true", help="start in download mode")
    p.add_argument("--ignore-download", action="store_true",
                   help="accept the download command but stay out of download mode")
    p.add_argument("--raw-close-after", type=int, default=0,
                   help="close the print port after this many bytes")
    p.add_argument("--raw-reset-after", type=int, default=0,
                   help="reset the print port connection after this many bytes")
    p.add_argument("--raw-stall-after", type=int, default=0,
                   help="stop reading the print port after this many bytes, and never close it")
    p.add_argument("--raw-rcvbuf", type=int, default=0,
                   help="receive buffer of the print port, in bytes (small: the tool must wait)")
    p.add_argument("--read-delay-ms", type=int, default=0,
                   help="read the print port slowly: 4096 bytes, then this pause")
    p.add_argument("--talk-back", type=int, default=0,
                   help="send this many status bytes back on each print port connection")
    p.add_argument("--hold-open", type=float, default=0,
                   help="keep the print port connection open this many seconds after the upload")
    p.add_argument("--chatter", action="store_true",
                   help="while holding the connection open, send a status line each second")
    p.add_argument("--restart-delay", type=float, default=2.0,
                   help="seconds the printer answers after new firmware arrived")
    p.add_argument("--down-seconds", type=float, default=8.0, help="seconds the restart takes")
    p.add_argument("--silent-after-check", action="store_true",
                   help="stop answering echo once lpstat has shown download mode, so the "
                        "first probe after the download goes unanswered")
    p.add_argument("--ipp-port", type=int, default=0,
                   help="answer IPP Get-Printer-Attributes at /ipp/print on this port (631)")
    p.add_argument("--firmware", action="append", default=[], metavar="[NAME=]VERSION",
                   help="a firmware the printer reports over IPP (NAME main when not given)")
    p.add_argument("--model", metavar="TEXT", default=None,
                   help="the printer-make-and-model the printer reports over IPP (none when not given)")
    p.add_argument("--uuid", metavar="URN", default=None,
                   help="the printer-uuid (urn:uuid:...) it reports (default: made from its address)")
    p.add_argument("--printer-name", metavar="NAME", default=None,
                   help="the printer-name it reports (default: made from its address)")
    p.add_argument("--serial", metavar="TEXT", default=None,
                   help="the serial number its printer-device-id names (default: made from its address)")
    p.add_argument("--ipp-garbage", choices=("bytes", "values"), default=None,
                   help="answer IPP with bytes that are no IPP, or with values no printer has")
    p.add_argument("--ipp-login", metavar="USER:PASSWORD", default=None,
                   help="answer IPP requests without this login (HTTP Basic) with HTTP 401")
    p.add_argument("--ipp-delay", metavar="SECONDS", type=float, default=0,
                   help="hold back each IPP answer this long")
    p.add_argument("--installs", metavar="[NAME=]VERSION", default=None,
                   help="the firmware a download brings: reported after the restart (without "
                        "NAME, in place of the first one)")
    p.add_argument("--ipp-gone-after-restart", action="store_true",
                   help="the IPP service goes down with the printer and does not come back")
    p.add_argument("--never-shut-down", action="store_true")
    p.add_argument("--never-come-back", action="store_true")
    p.add_argument("--down-unreachable-from", metavar="NS", default=None,
                   help="while down, the printer's address is unreachable from network "
                        "namespace NS (each probe fails at once) instead of silent")
    args = p.parse_args()
    state = State(args)
    servers = []
    for port, handler in ((args.telnet_port, Console), (args.raw_port, Raw)):
        server = Server((args.host, port), handler)
        server.state = state
        if handler is Raw and args.raw_rcvbuf:
            # Taken over by each accepted connection, and known before the
            # first window is offered.
            server.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, args.raw_rcvbuf)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        servers.append(server)
    if args.ipp_port:
        server = ipp_service.Server((args.host, args.ipp_port), ipp_service.Handler)
        server.state = state
        state.ipp_server = server
        threading.Thread(target=server.serve_forever, daemon=True).start()
    if args.echo_silent_first:
        set_echo(False)
        threading.Timer(args.echo_silent_first, set_echo, (True,)).start()
    state.log(event="ready")
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
