#!/usr/bin/env python3
"""Many IPP printers in one process, for the holm-find benchmark
(bench/find.py): one listener on port 631 of every local address; a
printer is the local address a connection came to, and reports the
identity tools/printer-sim makes from that address (printer-uuid,
printer-name, a serial in printer-device-id) with --model and --firmware.
Prints "ready" once it listens."""
import argparse
import http.server
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "printer-sim"))
import ipp_service  # noqa: E402


class Handler(ipp_service.Handler):
    def do_POST(self):
        body = self.read_body()
        request = ipp_service.parse_request(body)
        if request is None:
            version, request_id, status = b"\x01\x01", b"\0\0\0\0", ipp_service.BAD_REQUEST
        else:
            version, operation, request_id = request
            status = ipp_service.OK if operation == ipp_service.GET_PRINTER_ATTRIBUTES else ipp_service.NOT_SUPPORTED
        args = self.server.args
        who = ipp_service.identity(self.connection.getsockname()[0])
        data = ipp_service.response(version, status, request_id, [("main", args.firmware)], args.model, who)
        self.send_response(200)
        self.send_header("Content-Type", "application/ipp")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


class Server(http.server.ThreadingHTTPServer):
    allow_reuse_address = True
    daemon_threads = True
    # The scan's connects arrive by the thousand: none may find the queue full.
    request_queue_size = 4096


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--model", default="HOLM Laser 5100")
    p.add_argument("--firmware", default="2.0")
    args = p.parse_args()
    server = Server(("0.0.0.0", 631), Handler)
    server.args = args
    print("ready", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
