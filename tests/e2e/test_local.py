"""Local output: the LPT1 port and the print spooler."""
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import harness
from harness import BIN, ScratchCase

AUTO_DOWNLOAD = b'!ZQD_SETUP\nFILE_IO-AUTODOWN;"".\nZQD_END\n'
CAPTURE = b'!ZQD_SETUP\nFILE_IO-CAPTURE;"".\nZQD_END\n'
CONFIG_RESET = b"!ZQD_SETUP\nCONFIG-RESET\nZQD_END\n"

OPEN_FAILED = "\nError: Could not open LPT1\nTry typing 'net stop spooler' at command prompt\n"
SEND_FAILED = "\nError: Could not send data to LPT1\nTry typing 'net stop spooler' at command prompt\n"
SPOOL_FAILED = "\nError: writing to printer\n"

FIRST = b"^XA first label ^XZ\r\n"
SECOND = bytes(range(256)) * 3


def _can_isolate_dev():
    if harness.WINE or shutil.which("unshare") is None:
        return False
    probe = subprocess.run(["unshare", "-m", "sh", "-c",
                            "mount --make-rprivate / && mount -t tmpfs tmpfs /dev"],
                           capture_output=True, timeout=30)
    return probe.returncode == 0


CAN_ISOLATE_DEV = _can_isolate_dev()

# Inside a private mount namespace /dev is an empty tmpfs, so the port can be
# made to exist (as a plain file, or as a device that refuses data) without
# touching the machine's own devices. $1 says what the port is, $2 where its
# contents go afterwards; the rest is the command.
_PORT_SCRIPT = """
kind=$1; out=$2; shift 2
mount --make-rprivate / && mount -t tmpfs tmpfs /dev || exit 97
case $kind in
  file) : > /dev/lp0 || exit 97 ;;
  full) mknod /dev/lp0 c 1 7 || exit 97 ;;
esac
"$@"; status=$?
if [ "$kind" = file ]; then cat /dev/lp0 > "$out"; fi
exit $status
"""


class PortCases:
    """What reaches LPT1, whatever stands behind it; port_run comes from the
    concrete case."""

    def test_one_entry_is_sent_as_it_is(self):
        self.bundle([("label.zpl", FIRST)])
        result, written = self.port_run(["-pb"])
        self.assertRun(result, 0)
        self.assertEqual(written, FIRST)

    def test_automatic_mode_frames_the_entry(self):
        self.bundle([("label.zpl", FIRST)])
        result, written = self.port_run(["-pb", "-a"])
        self.assertRun(result, 0)
        self.assertEqual(written, AUTO_DOWNLOAD + FIRST + CAPTURE + CONFIG_RESET)

    def test_entries_follow_one_another(self):
        self.bundle([("one.zpl", FIRST), ("dir/", b""), ("two.bin", SECOND)])
        result, written = self.port_run(["-pb"])
        self.assertRun(result, 0)
        self.assertEqual(written, FIRST + SECOND)

    def test_automatic_mode_frames_all_entries_once(self):
        self.bundle([("one.zpl", FIRST), ("two.bin", SECOND)])
        result, written = self.port_run(["-a", "-pb"])
        self.assertRun(result, 0)
        self.assertEqual(written, AUTO_DOWNLOAD + FIRST + SECOND + CAPTURE + CONFIG_RESET)

    def test_named_file_goes_to_the_port(self):
        self.bundle([("ignored.zpl", FIRST)])
        with open(self.path("job.prn"), "wb") as f:
            f.write(SECOND)
        result, written = self.port_run(["job.prn"])
        self.assertRun(result, 0)
        self.assertEqual(written, SECOND)


@unittest.skipUnless(CAN_ISOLATE_DEV, "needs a native build and a private mount namespace")
class PortOutput(PortCases, ScratchCase):
    def port_run(self, args, kind="file", program="bundle.exe"):
        """Runs program with LPT1 present as kind ("file", "full" or
        "none"); returns the result and what reached the port."""
        out = self.path("lp0.out")
        done = subprocess.run(["unshare", "-m", "sh", "-c", _PORT_SCRIPT, "sh", kind, out,
                               os.path.join(".", program)] + list(args),
                              cwd=self.dir, capture_output=True, timeout=harness.TIMEOUT)
        self.assertNotEqual(done.returncode, 97, done.stderr)
        written = None
        if os.path.exists(out):
            with open(out, "rb") as f:
                written = f.read()
        return harness.Result(done.returncode, done.stdout.decode("latin-1"),
                              done.stderr.decode("latin-1")), written

    def test_missing_port(self):
        self.bundle([("label.zpl", FIRST)])
        result, written = self.port_run(["-pb"], kind="none")
        self.assertRun(result, 1, OPEN_FAILED)
        self.assertIsNone(written)

    def test_port_that_refuses_data(self):
        self.bundle([("label.zpl", FIRST)])
        result, _ = self.port_run(["-pb", "-a"], kind="full")
        self.assertRun(result, 1, SEND_FAILED)

    def test_debug_reports_the_outcome(self):
        self.bundle([("label.zpl", FIRST)])
        result, written = self.port_run(["-d", "-pb"])
        self.assertRun(result, 0, "s\n")
        self.assertEqual(written, FIRST)
        result, _ = self.port_run(["-d", "-pb"], kind="none")
        self.assertRun(result, 1, OPEN_FAILED + "f\n")


@unittest.skipUnless(harness.WINE, "only under Wine")
class WinePortOutput(PortCases, ScratchCase):
    """Wine's LPT1 is whatever file its registry names: here a FIFO, drained
    while the program runs, as a printer reads its port."""

    @classmethod
    def setUpClass(cls):
        cls.port_dir = tempfile.mkdtemp(prefix="holm-lpt-")
        cls.port_file = os.path.join(cls.port_dir, "lpt1")
        os.mkfifo(cls.port_file)
        subprocess.run(harness.PREFIX + ["reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "LPT1",
                                         "/t", "REG_SZ", "/d", cls.port_file, "/f"],
                       env=harness.environment(), capture_output=True, timeout=harness.TIMEOUT,
                       check=True)
        # The port table is read when the server starts.
        harness.wine_session().restart(harness.BIN)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.port_dir, True)

    def port_run(self, args, program="bundle.exe"):
        # The reader is there before the program opens the port: bytes
        # written into a FIFO that nobody holds open are lost.
        reader = os.open(self.port_file, os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, reader)
        received, finished = bytearray(), threading.Event()

        def drain():
            while True:
                last = finished.is_set()
                try:
                    chunk = os.read(reader, 65536)
                except BlockingIOError:  # the program holds the port, with nothing new
                    chunk = b""
                if chunk:
                    received.extend(chunk)
                elif last:
                    return
                else:
                    time.sleep(0.02)

        thread = threading.Thread(target=drain, daemon=True)
        thread.start()
        result = self.holm(args, program=program)
        finished.set()
        thread.join(30)
        return result, bytes(received)


class RawPrinter:
    """A TCP listener standing in for a network printer: every connection's
    bytes are one job."""

    def __init__(self):
        self.server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(8)
        self.server.settimeout(0.2)
        self.port = self.server.getsockname()[1]
        self.jobs = []
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.stopping.is_set():
            try:
                connection, _ = self.server.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with connection:
                connection.settimeout(30)
                data = bytearray()
                try:
                    while True:
                        chunk = connection.recv(65536)
                        if not chunk:
                            break
                        data += chunk
                except OSError:
                    pass
            with self.lock:
                self.jobs.append(bytes(data))

    def received(self):
        with self.lock:
            return list(self.jobs)

    def stop(self):
        self.stopping.set()
        self.thread.join(10)
        self.server.close()


_CUPSD = "/usr/sbin/cupsd"
_HAS_CUPS = os.path.exists(_CUPSD) and shutil.which("lpadmin") is not None

# Under Wine the spooler keeps each document in a spool file of its own and
# hands it to CUPS only inside EndDocPrinter, so whatever CUPS refuses is
# reported there, by the end-document step.
REFUSED_STEP = "Could not end printer OFFICE\n" if harness.WINE else "Could not start printer OFFICE\n"
WRITE_STEP = "Could not end printer OFFICE\n" if harness.WINE else "Could not write on printer OFFICE\n"


class PrivateCups(ScratchCase):
    """A private CUPS server with one raw queue, OFFICE, that feeds a
    RawPrinter. Wine does its CUPS work inside the program's own process and
    reads the printer list from CUPS at every start, so the server named in
    the program's environment is the one it uses."""

    SERVER_LIMITS = ""

    def setUp(self):
        super().setUp()
        self.printer = RawPrinter()
        self.addCleanup(self.printer.stop)
        self.root = tempfile.mkdtemp(prefix="holm-cups-")
        self.addCleanup(shutil.rmtree, self.root, True)
        # The backends run as lp and must reach their files through here.
        os.chmod(self.root, 0o755)
        for name in ("spool", "cache", "log", "state", "run"):
            os.mkdir(os.path.join(self.root, name))
            os.chmod(os.path.join(self.root, name), 0o755)
        self.socket_path = os.path.join(self.root, "run", "cups.sock")
        conf = os.path.join(self.root, "cupsd.conf")
        files = os.path.join(self.root, "cups-files.conf")
        with open(conf, "w") as f:
            f.write(f"Listen {self.socket_path}\nWebInterface No\nBrowsing Off\nLogLevel warn\n"
                    f"{self.SERVER_LIMITS}"
                    "<Location />\n Order allow,deny\n Allow all\n</Location>\n")
        r = self.root
        with open(files, "w") as f:
            f.write(f"ServerRoot {r}\nRequestRoot {r}/spool\nCacheDir {r}/cache\n"
                    f"StateDir {r}/state\nTempDir {r}/spool\nErrorLog {r}/log/error_log\n"
                    f"AccessLog {r}/log/access_log\nPageLog {r}/log/page_log\n"
                    "User lp\nGroup lp\nSystemGroup root\n")
        self.cups_env = {"CUPS_SERVER": self.socket_path, "HOME": self.root}
        self.env = dict(os.environ, **self.cups_env)
        self.cupsd = subprocess.Popen([_CUPSD, "-f", "-c", conf, "-s", files], env=self.env,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.addCleanup(self._stop_cupsd)
        self._wait_for(lambda: os.path.exists(self.socket_path) or self.cupsd.poll() is not None, 30)
        if self.cupsd.poll() is not None:
            self.fail("cupsd did not start: " + self.cupsd.stderr.read().decode("latin-1"))
        self._wait_for(self._server_answers, 30, "cupsd does not answer")
        self.admin(["lpadmin", "-p", "OFFICE", "-E", "-v", f"socket://127.0.0.1:{self.printer.port}"])

    def _stop_cupsd(self):
        if self.cupsd.poll() is None:
            self.cupsd.terminate()
            try:
                self.cupsd.wait(15)
            except subprocess.TimeoutExpired:
                self.cupsd.kill()
                self.cupsd.wait(15)
        self.cupsd.stderr.close()

    def _server_answers(self):
        return subprocess.run(["lpstat", "-r"], env=self.env, capture_output=True,
                              timeout=30).returncode == 0

    def _wait_for(self, condition, seconds, message=None):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if condition():
                return True
            time.sleep(0.1)
        if message:
            self.fail(message)
        return False

    def admin(self, command):
        done = subprocess.run(command, env=self.env, capture_output=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr.decode("latin-1"))

    def spool_run(self, args):
        return self.holm(args, extra_env=self.cups_env)

    def queued(self):
        """The queue's jobs that have not ended (printed, cancelled or
        aborted), one line each."""
        done = subprocess.run(["lpstat", "-o", "OFFICE"], env=self.env, capture_output=True,
                              timeout=30)
        self.assertEqual(done.returncode, 0, done.stderr.decode("latin-1"))
        return done.stdout.decode("latin-1").splitlines()

    def printed(self, expected):
        """The jobs the printer received once expected many have arrived and
        the queue has drained (or the time is up)."""
        self._wait_for(lambda: len(self.printer.received()) >= expected and not self.queued(), 90)
        # A job more than expected would show up right behind the others.
        time.sleep(0.5)
        return self.printer.received()


@unittest.skipUnless(_HAS_CUPS, "needs cupsd and lpadmin")
class SpoolerOutput(PrivateCups):
    def test_one_entry_is_one_job(self):
        self.bundle([("label.zpl", FIRST)])
        self.assertRun(self.spool_run(["-pbOFFICE"]), 0)
        self.assertEqual(self.printed(1), [FIRST])

    def test_automatic_mode_sends_five_jobs_in_order(self):
        self.bundle([("one.zpl", FIRST), ("two.bin", SECOND)])
        self.assertRun(self.spool_run(["-pbOFFICE", "-a"]), 0)
        self.assertEqual(self.printed(5), [AUTO_DOWNLOAD, FIRST, SECOND, CAPTURE, CONFIG_RESET])

    def test_named_file_is_one_job(self):
        self.bundle([("ignored.zpl", FIRST)])
        with open(self.path("job.prn"), "wb") as f:
            f.write(SECOND)
        self.assertRun(self.spool_run(["-pbOFFICE", "-d", "job.prn"]), 0, "s\n")
        self.assertEqual(self.printed(1), [SECOND])

    def test_unknown_printer(self):
        self.bundle([("label.zpl", FIRST)])
        self.assertRun(self.spool_run(["-pbNOSUCH"]), 1,
                       "Could not open printer NOSUCH\n" + SPOOL_FAILED)
        self.assertEqual(self.printed(0), [])

    def test_queue_that_rejects_jobs(self):
        self.admin(["cupsreject", "OFFICE"])
        self.bundle([("label.zpl", FIRST)])
        self.assertRun(self.spool_run(["-pbOFFICE", "-a"]), 1, REFUSED_STEP + SPOOL_FAILED)
        self.assertEqual(self.printed(0), [])

    def test_server_lost_while_written(self):
        self.bundle([("big.bin", bytes(range(256)) * (1 << 18))])
        outcome = []
        runner = threading.Thread(target=lambda: outcome.append(self.spool_run(["-pbOFFICE"])))
        runner.start()
        self.addCleanup(runner.join, harness.TIMEOUT)
        # cupsd receives a document into a file named by a request number;
        # once that exists, the data is on its way.
        receiving = re.compile("[0-9a-f]{8}$")
        spool = os.path.join(self.root, "spool")
        deadline = time.monotonic() + harness.TIMEOUT
        while runner.is_alive() and time.monotonic() < deadline:
            if any(receiving.match(name) for name in os.listdir(spool)):
                break
            time.sleep(0.001)
        self.cupsd.kill()
        runner.join(harness.TIMEOUT)
        self.assertTrue(outcome, "the program did not end")
        self.assertRun(outcome[0], 1, WRITE_STEP + SPOOL_FAILED)
        self.assertEqual(self.printer.received(), [])

    def test_disabled_queue_holds_the_jobs(self):
        self.admin(["cupsdisable", "OFFICE"])
        self.bundle([("one.zpl", FIRST), ("two.bin", SECOND)])
        self.assertRun(self.spool_run(["-pbOFFICE"]), 0)
        self.assertEqual(len(self.queued()), 2)
        self.assertEqual(self.printer.received(), [])
        self.admin(["cupsenable", "OFFICE"])
        self.assertEqual(self.printed(2), [FIRST, SECOND])


@unittest.skipUnless(_HAS_CUPS, "needs cupsd and lpadmin")
class RefusedDocuments(PrivateCups):
    """The server refuses any request larger than 1 KiB, which lets a job be
    created and then fail while its document is sent."""

    SERVER_LIMITS = "MaxRequestSize 1k\n"

    def test_document_refused_while_written(self):
        # Far beyond the limit, so the refusal arrives while the data is
        # still being written.
        self.bundle([("big.bin", SECOND * 6000)])
        self.assertRun(self.spool_run(["-pbOFFICE", "-d"]), 1, WRITE_STEP + SPOOL_FAILED + "f\n")
        if harness.WINE:
            # Wine's spooler leaves the job it created waiting for a document
            # that never comes.
            self.assertEqual(len(self.queued()), 1)
            self.assertEqual(self.printer.received(), [])
        else:
            # The half-sent job was withdrawn rather than left queued.
            self.assertEqual(self.printed(0), [])
            self.assertEqual(self.queued(), [])

    @unittest.skipIf(harness.WINE, "Wine's spooler ignores how CUPS ends the document")
    def test_document_refused_at_its_end(self):
        # libcups keeps a write this small in its buffer until the document
        # ends, so the refusal comes back to the end-document step.
        self.bundle([("small.bin", SECOND * 3)])
        self.assertRun(self.spool_run(["-pbOFFICE"]), 1,
                       "Could not end printer OFFICE\n" + SPOOL_FAILED)
        self.assertEqual(self.printed(0), [])
        self.assertEqual(self.queued(), [])


CUPS_SONAME = "libcups.so.2"


def _library_folder(soname):
    """The real folder the loader finds soname in, or None."""
    listed = subprocess.run(["ldconfig", "-p"], capture_output=True, text=True, timeout=30).stdout
    found = re.search(r"^\s*" + re.escape(soname) + r" \(.*\) => (\S+)$", listed, re.M)
    return os.path.dirname(os.path.realpath(found.group(1))) if found else None


# $1 is the folder to hide, $2 a scratch folder; the rest is the command.
# The scratch folder becomes a fresh tmpfs that holds copies of the
# libraries the program is linked with and nothing else, and is mounted over
# the folder, so neither the loader's cache nor its default folders can
# find anything else that lived there; the copies are made before the mount,
# since nothing started after it could load the C library otherwise.
_HIDE_SCRIPT = """
folder=$1; scratch=$2; shift 2
mount --make-rprivate / && mount -t tmpfs tmpfs "$scratch" || exit 97
for library in $HOLM_LIBRARIES; do cp "$library" "$scratch/" || exit 97; done
mount --bind "$scratch" "$folder" || exit 97
"$@"
"""


@unittest.skipUnless(CAN_ISOLATE_DEV and _library_folder(CUPS_SONAME),
                     "needs a native build, the CUPS client library and a private mount namespace")
class SpoolerWithoutLibrary(ScratchCase):
    """The CUPS client library is missing: only the spooler notices."""

    def hidden_run(self, args, cwd=None):
        folder = _library_folder(CUPS_SONAME)
        linked = subprocess.run(["ldd", BIN], capture_output=True, text=True, timeout=30, check=True).stdout
        libraries = [path for path in re.findall(r"(/\S+) \(0x", linked)
                     if os.path.dirname(os.path.realpath(path)) == folder]
        self.assertFalse([p for p in libraries if "libcups" in p], "the program is linked with libcups")
        os.mkdir(self.path("libraries"))
        done = subprocess.run(["unshare", "-m", "sh", "-c", _HIDE_SCRIPT, "sh", folder, self.path("libraries"),
                               os.path.join(self.dir, "bundle.exe")] + list(args),
                              cwd=cwd or self.dir, capture_output=True, timeout=harness.TIMEOUT,
                              env=dict(os.environ, HOLM_LIBRARIES=" ".join(libraries)))
        self.assertNotEqual(done.returncode, 97, done.stderr)
        return harness.Result(done.returncode, done.stdout.decode("latin-1"), done.stderr.decode("latin-1"))

    def test_spooler_names_the_missing_library(self):
        self.bundle([("label.zpl", FIRST)])
        result = self.hidden_run(["-pbOFFICE", "-a"])
        self.assertRun(result, 1, "Could not open printer OFFICE\n" + SPOOL_FAILED,
                       f"{self.path('bundle.exe')}: cannot use the CUPS client library: "
                       f"{CUPS_SONAME}: cannot open shared object file: No such file or directory\n")

    def test_other_runs_do_not_need_it(self):
        self.bundle([("label.zpl", FIRST)])
        os.mkdir(self.path("out"))
        result = self.hidden_run([], cwd=self.path("out"))
        self.assertRun(result, 0, "\nExtracting: label.zpl\n")
        with open(self.path("out", "label.zpl"), "rb") as f:
            self.assertEqual(f.read(), FIRST)


if __name__ == "__main__":
    unittest.main()
