"""A throw-away code-signing PKI made with openssl, a minimal Windows
program to sign, and the certificate table of a signed file.

Every key and certificate is made afresh in the test's own folder and
lives two days."""
import http.server
import os
import struct
import subprocess
import tempfile
import threading

TIMEOUT = 60


def _openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True, capture_output=True, timeout=TIMEOUT)


class Pki:
    """In folder: ca.pem (a CA), sign.pem and sign.key (a code-signing
    certificate it issued), sign.p12 (the same, as PKCS#12 with password),
    and other-ca.pem, a CA that issued nothing of it."""

    PASSWORD = "p12-pass word"

    def __init__(self, folder):
        self.dir = folder
        os.makedirs(folder, exist_ok=True)
        for ca in ("ca", "other-ca"):
            _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{ca}.key", "-out", f"{ca}.pem",
                     "-days", "2", "-subj", f"/CN=Test Site {ca.upper()}",
                     "-addext", "basicConstraints=critical,CA:true",
                     "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
        _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "sign.key", "-out", "sign.csr",
                 "-subj", "/O=Test Site/CN=Test Site Firmware", cwd=folder)
        with open(self.path("leaf.ext"), "w") as f:
            f.write("basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n")
        _openssl("x509", "-req", "-in", "sign.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                 "-out", "sign.pem", "-days", "2", "-extfile", "leaf.ext", cwd=folder)
        _openssl("pkcs12", "-export", "-in", "sign.pem", "-inkey", "sign.key", "-out", "sign.p12",
                 "-passout", "pass:" + self.PASSWORD, cwd=folder)
        _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "tsa.key", "-out", "tsa.csr",
                 "-subj", "/CN=Test Site TSA", cwd=folder)
        with open(self.path("tsa.ext"), "w") as f:
            f.write("basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\n"
                    "extendedKeyUsage=critical,timeStamping\n")
        _openssl("x509", "-req", "-in", "tsa.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                 "-out", "tsa.pem", "-days", "2", "-extfile", "tsa.ext", cwd=folder)
        with open(self.path("tsa.cnf"), "w") as f:
            f.write(TSA_CONFIG.format(serial=self.path("tsa.serial")))

    def path(self, name):
        return os.path.join(self.dir, name)

    def sign(self, source, target, name="bundle"):
        """Signs source into target with osslsigncode itself."""
        subprocess.run(["osslsigncode", "sign", "-certs", self.path("sign.pem"), "-key", self.path("sign.key"),
                        "-h", "sha256", "-n", name, "-in", source, "-out", target],
                       check=True, capture_output=True, timeout=TIMEOUT)

    def verify(self, path, ca="ca.pem"):
        """osslsigncode's own verdict: (exit status, its output)."""
        done = subprocess.run(["osslsigncode", "verify", "-CAfile", self.path(ca), "-in", path],
                              capture_output=True, timeout=TIMEOUT)
        return done.returncode, (done.stdout + done.stderr).decode("latin-1")


TSA_CONFIG = """[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = {serial}
crypto_device = builtin
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
accuracy = secs:1
ordering = no
tsa_name = no
ess_cert_id_alg = sha256
"""


class TimeStampServer:
    """An RFC 3161 time-stamping server on loopback, answering with openssl
    ts -reply and the PKI's TSA certificate; url while it runs."""

    def __init__(self, pki):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                with tempfile.TemporaryDirectory() as scratch:
                    asked, answer = os.path.join(scratch, "query"), os.path.join(scratch, "reply")
                    with open(asked, "wb") as f:
                        f.write(query)
                    _openssl("ts", "-reply", "-config", pki.path("tsa.cnf"), "-queryfile", asked,
                             "-signer", pki.path("tsa.pem"), "-inkey", pki.path("tsa.key"),
                             "-chain", pki.path("ca.pem"), "-out", answer, cwd=scratch)
                    with open(answer, "rb") as f:
                        reply = f.read()
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *args):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.server.timeout = 30
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(10)


def tiny_program():
    """The smallest 32-bit Windows program osslsigncode signs: the headers
    and one section holding a return."""
    dos = bytearray(64)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 64)
    coff = struct.pack("<HHIIIHH", 0x14C, 1, 0, 0, 0, 224, 0x0102)
    optional = bytearray(224)
    struct.pack_into("<HBBIIIIII", optional, 0, 0x10B, 14, 0, 0x200, 0, 0, 0x1000, 0x1000, 0x2000)
    struct.pack_into("<IIIHHHHHHIIIIHHIIIIII", optional, 28, 0x400000, 0x1000, 0x200, 4, 0, 0, 0, 4, 0, 0,
                     0x2000, 0x200, 0, 3, 0, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    section = struct.pack("<8sIIIIIIHHI", b".text", 0x1000, 0x1000, 0x200, 0x200, 0, 0, 0, 0, 0x60000020)
    head = bytes(dos) + b"PE\0\0" + coff + bytes(optional) + section
    return head + bytes(0x200 - len(head)) + b"\xC3" + bytes(0x1FF)


def certificate_table(data):
    """(offset, length) of the certificate table a PE file's security
    directory names, (0, 0) for none."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    entry = optional + (96 if magic == 0x10B else 112) + 4 * 8
    return struct.unpack_from("<II", data, entry)


def archive_end(data, before):
    """Just past the last end record of an archive (comment included) that
    begins before offset before."""
    at = data.rfind(b"PK\x05\x06", 0, before)
    return at + 22 + struct.unpack_from("<H", data, at + 20)[0]
