"""What a network download should do for each mode letter, and the means to
run many downloads side by side, each against a printer of its own.

The expectation is built from the stage table the sequencer follows: which
stages a letter runs, which of them depend on the data being a firmware
image, and what each stage prints with -d.
"""
import os
import shutil
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import harness
import netbed

MAGIC = b"qUoRdaViNe"
CHUNK = 8192

# A firmware image over three chunks and one of exactly one chunk; ordinary
# print data over three chunks and an empty entry.
FIRMWARE = [("fw/image.bin", MAGIC + bytes(i * 7 % 251 for i in range(20000))),
            ("fw/second.bin", MAGIC + bytes(i % 13 for i in range(CHUNK - len(MAGIC))))]
ORDINARY = [("job.prn", b"%!PS-Adobe-3.0\n" + b"0 0 moveto (page) show\n" * 740),
            ("empty.prn", b"")]
TRAILING_DIR = ("extra/", b"")

LOGIN_MARKS = "t" * 6
WORKERS = 6


def code(letter):
    """The letter as the program compares it: a signed byte."""
    value = letter.encode("latin-1")[0]
    return value - 256 if value >= 128 else value


def chunks(data):
    return max(1, -(-len(data) // CHUNK))


def is_firmware(data):
    return data.startswith(MAGIC)


class Expected:
    """Debug output (a regular expression), console commands in order and
    the bytes of the one print-port connection, if any."""

    def __init__(self, letter, files, trailing_dir):
        # In an archive run the driver turns the blank letter into a.
        letter = "a" if letter == " " else letter
        c = code(letter)
        low = c <= ord("b")
        self.commands = []
        self.sends = low or letter in "efij"

        def prepare(data):
            marks = ""
            if c <= ord("g") or letter == "j":
                marks += "p"
            if letter in "cdh" or (low and is_firmware(data)):
                marks += LOGIN_MARKS + "t" + "w" * 5
                self.commands.append("debug printer download")
            if letter in "cdef" or (low and is_firmware(data)):
                marks += "p" + LOGIN_MARKS + "t"
                self.commands.append("lpstat")
            return marks

        if self.sends:
            out = prepare(files[0][1]) + "".join("#" * chunks(data) for _, data in files)
            # The restart test looks at the entry the send loop stopped on:
            # a directory entry after the last file is that entry.
            last = b"" if trailing_dir else files[-1][1]
            self.restart = (letter == "a" and is_firmware(last)) or letter == "e"
            if self.restart:
                out += "p+wwp+"
            self.job = b"".join(data for _, data in files)
        else:
            out = "".join(prepare(data) for _, data in files)
            self.restart = False
            self.job = None
        self.stdout = out + "s\n"


class Scratch:
    """A scratch directory with cleanups, for work outside a TestCase."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="holm-dl-")
        self._cleanups = [(shutil.rmtree, (self.dir, True))]

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def addCleanup(self, function, *args):
        self._cleanups.append((function, args))

    def close(self):
        for function, args in reversed(self._cleanups):
            function(*args)


class Outcome:
    def __init__(self, result=None, commands=None, logins=None, opens=0, jobs=None, error=None,
                 events=None, ended=None):
        self.result, self.commands, self.logins = result, commands, logins
        self.opens, self.jobs, self.error, self.events = opens, jobs, error, events
        # time.monotonic() when the program had ended: the machine's one
        # clock, which the simulator's timed events use as well.
        self.ended = ended


def describe(jobs):
    """Print-port jobs in a form short enough for a failure message."""
    import hashlib
    return [(len(job), hashlib.sha1(job).hexdigest()[:12]) for job in jobs]


def run_download(entries, args, sim_args=(), named=None, bundle=None, **bed_kw):
    """One download in a bed of its own: the bundle of entries (or a copy of
    a ready bundle, or a named file) sent with args; what the printer saw
    comes back with the result."""
    scratch = Scratch()
    try:
        if bundle is not None:
            shutil.copyfile(bundle, scratch.path("bundle.exe"))
            os.chmod(scratch.path("bundle.exe"), 0o755)
        else:
            harness.make_bundle(scratch.path("bundle.exe"), entries)
        if named is not None:
            with open(scratch.path(named[0]), "wb") as f:
                f.write(named[1])
            args = list(args) + [named[0]]
        bed = netbed.NetBed(scratch, sim_args, **bed_kw)
        result = bed.holm(scratch, args, timeout=600)
        ended = time.monotonic()
        jobs = bed.raw_jobs()
        return Outcome(result, [e["command"] for e in bed.events("command")],
                       [(e["login"], e["ok"]) for e in bed.events("login")],
                       len(bed.events("raw-open")), jobs, events=bed.events(), ended=ended)
    except Exception as error:  # reported by the caller, in its own subtest
        return Outcome(error=error)
    finally:
        scratch.close()


def run_all(jobs):
    """Runs downloads side by side: each job is (entries, args, sim_args),
    optionally followed by a named file and the bed's options."""
    def one(job):
        entries, args, sim_args, *rest = job
        named = rest[0] if rest else None
        bed_kw = rest[1] if len(rest) > 1 else {}
        return run_download(entries, args, sim_args, named, **bed_kw)
    with ThreadPoolExecutor(max_workers=WORKERS) as pool:
        return list(pool.map(one, jobs))

