"""Wine prefixes and their servers for the end-to-end tests.

Every Wine process of a server's session (the boot helper, the services,
the device drivers) writes Wine's own messages to the standard error of the
program that started the session, and a session ends a few seconds after
its last program. Left alone, a program under test starts a new session
whenever it runs after a pause, and what that session says, a crash of one
of its services included, arrives on the stderr that the test compares.

So a prefix is made whole once, before any run whose output is compared
(wineboot --init, then wineserver -w); while a suite runs, its server is
kept alive (wineserver -p) and its session is started by a run of its own,
whose output goes to the session's log. A compared run then starts no
process but its own, and whatever Wine says on its stderr was said in the
program's own process.
"""
import os
import shlex
import shutil
import subprocess

AEDEBUG = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug"

# Helpers that no test needs and that would otherwise start beside the
# program: the menu builder (run at every boot), the desktop shell (started
# from user32 in every program; the program opens no window, and without the
# shell user32 goes on without a desktop), and the offers to install the .NET
# and HTML engines into a new prefix.
OVERRIDES = "winemenubuilder.exe=d;explorer.exe=d;mscoree=;mshtml="

TIMEOUT = 180
# Booting a session starts half a dozen Wine processes; under qemu (the
# 32-bit program) on a loaded machine that has taken over three minutes.
BOOT_TIMEOUT = 600

# The server of the loader's sessions: the one on PATH, or the command that
# HOLM_WINESERVER names (the 32-bit runner's own server).
SERVER = shlex.split(os.environ.get("HOLM_WINESERVER", "wineserver"))


class Session:
    """One prefix and the server that serves it. wrap is put in front of
    every command that starts a Wine process (ip netns exec NS, say), so the
    server lives where the program under test runs."""

    def __init__(self, loader, prefix, wrap=()):
        self.loader = list(loader)
        self.prefix = prefix
        self.wrap = list(wrap)
        self.log = prefix + ".log"

    def environment(self, base=None):
        env = dict(os.environ if base is None else base)
        env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", WINEDLLOVERRIDES=OVERRIDES)
        return env

    def _quiet(self, command, wrap=True, timeout=TIMEOUT):
        with open(self.log, "ab") as log:
            subprocess.run((self.wrap if wrap else []) + command, env=self.environment(),
                           stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                           timeout=timeout, check=True)

    def create(self):
        """Makes a new prefix whole. The automatic debugger is turned off: a
        crash is then told by one line of Wine's and the exception's code as
        the exit status, instead of a debugger's report on the crashed
        program's stdout and whatever status the debugger leaves."""
        self._quiet(self.loader + ["wineboot", "--init"], wrap=False)
        self._quiet(self.loader + ["reg", "add", AEDEBUG, "/v", "Debugger", "/t", "REG_SZ",
                                   "/d", "", "/f"], wrap=False)
        self._quiet(SERVER + ["-w"], wrap=False)

    def copy(self, prefix, wrap=()):
        """A session of its own on a copy of this prefix: files
        hard-linked, the registry, which Wine rewrites in place, copied."""
        subprocess.run(["cp", "-al", self.prefix, prefix], check=True, timeout=60)
        for name in os.listdir(self.prefix):
            if name.endswith(".reg"):
                os.unlink(os.path.join(prefix, name))
                shutil.copy2(os.path.join(self.prefix, name), os.path.join(prefix, name))
        return Session(self.loader, prefix, wrap)

    def start_script(self, program):
        """Shell commands that start the server for good and boot its
        session with runs of program asking for an echo from loopback, made
        again until one is answered: the boot starts the network driver in
        the background, and a program that comes too early finds no echo
        service. Everything they say goes to the session's log."""
        log = shlex.quote(self.log)
        probe = shlex.join(self.loader + [program, "-m", "g", "-n", "127.0.0.1"])
        server = shlex.join(SERVER)
        return (f"{server} -p </dev/null >>{log} 2>&1; "
                f"for try in $(seq 30); do {probe} </dev/null >>{log} 2>&1 && break; sleep 1; done; true")

    def stop_script(self):
        """Shell commands that end the server and every process of its
        session."""
        log, server = shlex.quote(self.log), shlex.join(SERVER)
        return f"{server} -k >>{log} 2>&1; {server} -w >>{log} 2>&1; true"

    def start(self, program):
        self._quiet(["sh", "-c", self.start_script(program)], timeout=BOOT_TIMEOUT)

    def stop(self):
        self._quiet(["sh", "-c", self.stop_script()])

    def restart(self, program):
        """For settings that Wine reads when its server starts."""
        self.stop()
        self.start(program)
