"""Runs the built holm program as a user would, natively or under Wine.

Environment (set by CTest):
  HOLM_BIN          the program under test
  HOLM_EXEC_PREFIX  a command to run it with (the Wine loader), if any
  HOLM_LAUNCHER     under Wine: a helper that starts a program with a
                    command line of our choosing, to pick its argv[0]
"""
import atexit
import io
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest
import zipfile

import winesession

# Every run's telnet password is the test's choice: one in the caller's own
# environment would change them all.
os.environ.pop("HOLM_PASSWORD", None)

BIN = os.environ.get("HOLM_BIN", "")
PREFIX = os.environ.get("HOLM_EXEC_PREFIX", "").split()
LAUNCHER = os.path.abspath(os.environ["HOLM_LAUNCHER"]) if os.environ.get("HOLM_LAUNCHER") else ""
WINE = bool(PREFIX)
TIMEOUT = 120

_wine_session = None
_wine_lock = threading.Lock()


def _end_wine_session(session, top):
    session.stop()
    shutil.rmtree(top, ignore_errors=True)


def wine_session():
    """The suite's Wine prefix, made on first use, with its server running
    until the suite ends."""
    global _wine_session
    with _wine_lock:
        if _wine_session is None:
            top = tempfile.mkdtemp(prefix="holm-wine-")
            session = winesession.Session(PREFIX, os.path.join(top, "prefix"))
            atexit.register(_end_wine_session, session, top)
            session.create()
            session.start(BIN)
            _wine_session = session
    return _wine_session


def _environment():
    return wine_session().environment() if WINE else dict(os.environ)


def windows_path(path):
    """The name Wine gives a POSIX path (drive Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def shown_argv0(path):
    """argv[0] as the program sees it when started by path."""
    return windows_path(path) if WINE else path


def stored_zip(entries):
    """A stored (uncompressed) ZIP archive of (name, bytes) pairs.

    Written to a seekable buffer so the sizes stand in the local headers.
    """
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as archive:
        for name, data in entries:
            archive.writestr(zipfile.ZipInfo(name), data)
    return buffer.getvalue()


def make_bundle(path, entries=(), raw_tail=None):
    """Copies the program to path and appends an archive of entries (or
    raw_tail, bytes of the test's own making)."""
    shutil.copyfile(BIN, path)
    os.chmod(path, 0o755)
    with open(path, "ab") as f:
        f.write(raw_tail if raw_tail is not None else stored_zip(entries))
    return path


class Result:
    def __init__(self, status, stdout, stderr):
        self.status, self.stdout, self.stderr = status, stdout, stderr

    def __repr__(self):
        return f"Result(status={self.status}, stdout={self.stdout!r}, stderr={self.stderr!r})"


def _text(data):
    text = data.decode("latin-1")
    # A Windows program's text-mode output ends its lines with CR LF.
    return text.replace("\r\n", "\n") if WINE else text


# Two ways in which Wine fails to start a program before any of its own code
# has run (no output, nothing sent), as happens now and then on a loaded
# machine: the loader ends it with STATUS_DLL_INIT_FAILED (0xC0000142, seen
# as status 66) when its DLLs cannot start, and under the launcher
# CreateProcessA fails, which the launcher reports with its own status 126.
# Such a run is made again rather than reported as the program's failure.
WINE_START_FAILED = 0xC0000142 & 0xFF
LAUNCH_FAILED = 126
WINE_START_ATTEMPTS = 3


def _start_failed(done):
    if not WINE or done.stdout:
        return False
    if done.returncode == WINE_START_FAILED:
        return not done.stderr
    return done.returncode == LAUNCH_FAILED and done.stderr.startswith(b"launch: CreateProcessA failed")


def run_process(command, **kwargs):
    """subprocess.run with capture_output, made again when Wine failed to
    start the program."""
    for _ in range(WINE_START_ATTEMPTS):
        done = subprocess.run(command, capture_output=True, **kwargs)
        if not _start_failed(done):
            break
        print(f"Wine could not start {command}; running it again", file=sys.stderr)
    return done


def run(program, args, cwd, argv0=None, stdin=b"", timeout=TIMEOUT, extra_env=None):
    """Runs program with args in cwd; argv0 (default: program as given) is
    what the program sees as its own name; extra_env adds variables to its
    environment."""
    env = _environment()
    env.update(extra_env or {})
    if not WINE:
        command = [argv0 or program] + list(args)
        done = run_process(command, executable=os.path.abspath(os.path.join(cwd, program)),
                           cwd=cwd, input=stdin, timeout=timeout, env=env)
    elif argv0 is None:
        done = run_process(PREFIX + [program] + list(args), cwd=cwd, input=stdin,
                           timeout=timeout, env=env)
    else:
        line = subprocess.list2cmdline([argv0] + list(args))
        target = windows_path(os.path.join(cwd, program))
        done = run_process(PREFIX + [LAUNCHER, target, line], cwd=cwd, input=stdin,
                           timeout=timeout, env=env)
    return Result(done.returncode, _text(done.stdout), _text(done.stderr))


class ScratchCase(unittest.TestCase):
    """A test case with a fresh scratch directory of its own."""

    def setUp(self):
        if not BIN or not os.path.isfile(BIN):
            self.fail(f"HOLM_BIN does not name the built program: {BIN!r}")
        self.dir = tempfile.mkdtemp(prefix="holm-test-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def bundle(self, entries=(), name="bundle.exe", raw_tail=None):
        return make_bundle(self.path(name), entries, raw_tail)

    def holm(self, args, program="bundle.exe", **kwargs):
        """Runs program (a file in the scratch directory) from there."""
        program_path = program if WINE else os.path.join(".", program)
        return run(program_path, args, self.dir, **kwargs)

    def assertRun(self, result, status, stdout="", stderr=""):
        self.assertEqual((result.status, result.stdout, result.stderr), (status, stdout, stderr))


def environment():
    """The environment the program runs in, for helper tools that must see
    the same Wine prefix."""
    return _environment()
