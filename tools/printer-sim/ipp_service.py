"""The simulated printer's IPP service: just enough of IPP over HTTP for a
Get-Printer-Attributes at /ipp/print to report the printer's firmware
(printer-firmware-name and printer-firmware-string-version, parallel
1setOf values), when it has one its printer-make-and-model, and who it is:
printer-uuid, printer-name and a printer-device-id holding its serial
number (--uuid, --printer-name, --serial; without them, made from the
address its first IPP request came to). Every other request gets an IPP
error or an HTTP 404.

With --ipp-garbage bytes it answers every request with bytes that are no
IPP at all; with --ipp-garbage values, with IPP whose printer-uuid is no
UUID and whose make and model is longer than IPP allows.

With a login (--ipp-login USER:PASSWORD) a request without those
credentials, as HTTP Basic, gets HTTP 401 and nothing else; with a delay
(--ipp-delay SECONDS) each answer is held back that long."""
import base64
import http.server
import struct
import time

GET_PRINTER_ATTRIBUTES = 0x000B
OPERATION_TAG, PRINTER_TAG, END_TAG = 0x01, 0x04, 0x03
TEXT, NAME, URI, CHARSET, LANGUAGE = 0x41, 0x42, 0x45, 0x47, 0x48
OK, BAD_REQUEST, NOT_SUPPORTED = 0x0000, 0x0400, 0x0501


def parse_request(body):
    """(version, operation, request id) of an IPP request; None when the
    header is cut short. The attributes are not needed to answer."""
    if len(body) < 9:
        return None
    return body[0:2], struct.unpack(">H", body[2:4])[0], body[4:8]


def attribute(tag, name, values):
    """One attribute with one or more values (the later ones nameless)."""
    out = b""
    for i, value in enumerate(values):
        key = name.encode() if i == 0 else b""
        data = value.encode()
        out += struct.pack(">BH", tag, len(key)) + key + struct.pack(">H", len(data)) + data
    return out


def identity(address, uuid=None, name=None, serial=None):
    """(uuid, name, serial) of the printer, those not given made from its
    address: the same address always gives the same ones."""
    parts = [int(x) for x in address.split(".")]
    hex_address = "".join(f"{x:02x}" for x in parts)
    return (uuid or f"urn:uuid:686f6c6d-0000-4000-8000-0000{hex_address}",
            name or "printer-" + "-".join(str(x) for x in parts),
            serial or "HOLM" + "".join(f"{x:03d}" for x in parts))


def response(version, status, request_id, firmware, model=None, who=None):
    """The IPP response; firmware is a list of (name, version), model the
    make and model and who the (uuid, name, serial) of identity, each
    reported only with a successful status and only when there is any."""
    out = version + struct.pack(">H", status) + request_id + bytes([OPERATION_TAG])
    out += attribute(CHARSET, "attributes-charset", ["utf-8"])
    out += attribute(LANGUAGE, "attributes-natural-language", ["en"])
    printer = b""
    if firmware:
        printer += attribute(NAME, "printer-firmware-name", [n for n, _ in firmware])
        printer += attribute(TEXT, "printer-firmware-string-version", [v for _, v in firmware])
    if model is not None:
        printer += attribute(TEXT, "printer-make-and-model", [model])
    if who is not None:
        uuid, name, serial = who
        printer += attribute(URI, "printer-uuid", [uuid])
        printer += attribute(NAME, "printer-name", [name])
        device_model = model or ""
        printer += attribute(TEXT, "printer-device-id", [f"MFG:HOLM;MDL:{device_model};SN:{serial};"])
    if status == OK and printer:
        out += bytes([PRINTER_TAG]) + printer
    return out + bytes([END_TAG])


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # ipptool sends chunked requests and keeps the connection

    def do_POST(self):
        state = self.server.state
        if state.down:
            self.close_connection = True
            return
        body = self.read_body()
        if state.args.ipp_delay:
            time.sleep(state.args.ipp_delay)
        if not self.logged_in(state.args.ipp_login):
            request = parse_request(body)
            state.log(event="ipp", operation=request and request[1], status=401)
            self.send_response(401)
            self.send_header("WWW-Authenticate", 'Basic realm="printer"')
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if self.path != "/ipp/print":
            self.send_error(404)
            return
        request = parse_request(body)
        if request is None:
            version, operation, request_id = b"\x01\x01", None, b"\0\0\0\0"
            status = BAD_REQUEST
        else:
            version, operation, request_id = request
            status = OK if operation == GET_PRINTER_ATTRIBUTES else NOT_SUPPORTED
        state.log(event="ipp", operation=operation, status=status, address=self.connection.getsockname()[0])
        args = state.args
        with state.lock:
            if state.identity is None:
                state.identity = identity(self.connection.getsockname()[0], args.uuid, args.printer_name, args.serial)
        model = args.model
        who = state.identity
        if args.ipp_garbage == "values":
            model, who = "HOLM " + "X" * 200, ("not-a-uuid",) + who[1:]
        data = response(version, status, request_id, state.firmware, model, who)
        if args.ipp_garbage == "bytes":
            data = bytes(range(7, 250)) * 3
        self.send_response(200)
        self.send_header("Content-Type", "application/ipp")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def logged_in(self, login):
        """Whether the request carries the login as HTTP Basic, or none is
        wanted."""
        if not login:
            return True
        wanted = "Basic " + base64.b64encode(login.encode()).decode()
        return self.headers.get("Authorization", "") == wanted

    def read_body(self):
        if self.headers.get("Transfer-Encoding", "").lower() != "chunked":
            return self.rfile.read(int(self.headers.get("Content-Length") or 0))
        body = b""
        while True:
            size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
            if size == 0:
                while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                    pass
                return body
            body += self.rfile.read(size)
            self.rfile.readline()

    def log_message(self, *args):
        pass


class Server(http.server.ThreadingHTTPServer):
    allow_reuse_address = True
    daemon_threads = True


def parse_firmware(text):
    """'NAME=VERSION' as (NAME, VERSION), 'VERSION' as (None, VERSION)."""
    name, is_named, version = text.partition("=")
    return (name, version) if is_named else (None, text)


def installed(firmware, new):
    """firmware (a list of (name, version)) once new is installed: the entry
    of new's name (the first entry when it has none) gets its version."""
    name, version = new
    names = [n for n, _ in firmware]
    if name is None:
        name = names[0] if names else "main"
    if name not in names:
        return firmware + [(name, version)]
    return [(n, version if n == name else v) for n, v in firmware]
