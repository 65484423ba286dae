"""Running holm-fleet against a fleet bed, and reading back what it left:
its summary, the printers' records, the command lines seen meanwhile."""
import os
import shutil
import signal
import subprocess
import threading
import time

# The built programs stand side by side, as once installed.
PACK_DIR = os.path.dirname(os.path.abspath(os.environ.get("HOLM_PACK", "holm-pack")))
FLEET = os.environ.get("HOLM_FLEET") or os.path.join(PACK_DIR, "holm-fleet")


class Run:
    def __init__(self, status, stdout, stderr, seconds, command_lines):
        self.status, self.stdout, self.stderr = status, stdout, stderr
        self.seconds, self.command_lines = seconds, command_lines

    def __repr__(self):
        return f"Run(status={self.status}, stdout={self.stdout!r}, stderr={self.stderr!r})"


def make_bundle(path, entries, options=()):
    """A bundle of the built program and entries [(name, data)], made by
    holm-pack as a user would make it (with more of its options, if given)."""
    files = os.path.join(os.path.dirname(path), os.path.basename(path) + ".files")
    for name, data in entries:
        os.makedirs(os.path.dirname(os.path.join(files, name)), exist_ok=True)
        with open(os.path.join(files, name), "wb") as f:
            f.write(data)
    subprocess.run([os.path.join(PACK_DIR, "holm-pack"), "-o", path, "-s", os.environ["HOLM_BIN"]] + list(options)
                   + ["-C", files]
                   + [name for name, _ in entries], check=True, capture_output=True, timeout=60)
    shutil.rmtree(files)
    return path


def command_lines():
    """Every process's command line now: {pid: [arguments]}."""
    found = {}
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    found[int(pid)] = f.read().split(b"\0")[:-1]
            except OSError:
                pass
    return found


def run_fleet(bed, args, cwd, stdin=b"", timeout=900, watch=False, env_path=None, interrupt_when=None, prefix=(),
              interrupt_with=signal.SIGINT):
    """holm-fleet with args (started through the command prefix, if given),
    from cwd, in the bed's tool namespace, with a TMPDIR of its own (cwd/tmp,
    which must be empty again afterwards) and PATH env_path if given; see
    run_watched."""
    tmp = os.path.join(cwd, "tmp")
    os.makedirs(tmp, exist_ok=True)
    env = dict(os.environ, TMPDIR=tmp, PATH=PACK_DIR + os.pathsep + os.environ["PATH"])
    if env_path is not None:
        env["PATH"] = env_path
    return run_watched(bed, list(prefix) + [FLEET] + list(args), cwd, env, stdin, timeout, watch,
                       interrupt_when, interrupt_with)


def run_watched(bed, command, cwd, env, stdin=b"", timeout=900, watch=False, interrupt_when=None,
                interrupt_with=signal.SIGINT):
    """command from cwd in the bed's tool namespace. With watch, every
    process's command line is looked at while it runs; once
    interrupt_when() holds, its process group gets interrupt_with: SIGINT
    as from Ctrl-C on a terminal, SIGHUP as when the terminal goes."""
    seen, done = {}, threading.Event()

    def look():
        while not done.is_set():
            for pid, argv in command_lines().items():
                seen.setdefault((pid, tuple(argv)), argv)
            time.sleep(0.2)

    watcher = threading.Thread(target=look, daemon=True) if watch else None
    started = time.monotonic()
    process = bed.popen(command, cwd=cwd, env=env, stdin=subprocess.PIPE,
                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)

    def interrupt():
        while not done.is_set():
            if interrupt_when():
                os.killpg(process.pid, interrupt_with)
                return
            time.sleep(0.05)

    interrupter = threading.Thread(target=interrupt, daemon=True) if interrupt_when else None
    for thread in (watcher, interrupter):
        if thread:
            thread.start()
    try:
        out, err = process.communicate(stdin, timeout=timeout)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
        done.set()
        for thread in (watcher, interrupter):
            if thread:
                thread.join()
    return Run(process.returncode, out.decode("latin-1"), err.decode("latin-1"),
               time.monotonic() - started, list(seen.values()))


def summary(out_dir):
    """summary.tsv as a list of rows of four fields, header included."""
    with open(os.path.join(out_dir, "summary.tsv")) as f:
        return [line.rstrip("\n").split("\t") for line in f]


def files_under(top):
    """{relative path: bytes} of every file under top."""
    found = {}
    for root, _, names in os.walk(top):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, top)] = f.read()
    return found


def holding(passwords, command_lines, files):
    """Command lines and files that hold any of the passwords. The printer
    simulators are told their passwords on their command lines: they stand
    for the printers, not for anything on the control machine."""
    secrets = [p.encode() for p in passwords]
    command_lines = [argv for argv in command_lines if not any(a.endswith(b"printer_sim.py") for a in argv)]
    bad = [argv for argv in command_lines if any(s in arg for arg in argv for s in secrets)]
    bad += [name for name, data in files.items() if any(s in data for s in secrets)]
    return bad


def is_run_of(program, bundle):
    """Whether program (a command line's first word) is the bundle: the
    bundle itself, or holm-fleet's private copy of it, the only one
    holm-fleet runs: TMPDIR/holm-fleet.XXXXXX/NAME, where run_fleet's TMPDIR
    is the folder tmp beside the bundle (the run's folder)."""
    bundle = os.path.realpath(bundle)
    if program == os.fsencode(bundle):
        return True
    folder, name = os.path.split(program)
    tmp = os.fsencode(os.path.join(os.path.dirname(bundle), "tmp"))
    return (name == os.fsencode(os.path.basename(bundle)) and os.path.dirname(folder) == tmp
            and os.path.basename(folder).startswith(b"holm-fleet."))


def bundle_runs(command_lines, bundle):
    """The addresses the bundle was seen running for (its last argument)."""
    return {argv[-1].decode() for argv in command_lines if argv and is_run_of(argv[0], bundle) and len(argv) > 2}
