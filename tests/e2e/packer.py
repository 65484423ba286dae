"""Runs the built holm-pack as a user would: natively, or the Windows
holm-pack.exe under Wine in the same prefix as the program.

Environment (set by CTest):
  HOLM_PACK  the packer under test (holm-pack.exe in the Wine runs)
"""
import os
import shutil

import harness

PACK = os.environ.get("HOLM_PACK", "")


def missing():
    """Why the packer cannot be run, or None."""
    if not PACK or not os.path.isfile(PACK):
        return f"HOLM_PACK does not name the built packer: {PACK!r}"
    return None


def run(args, cwd, program=None, env=None, timeout=120):
    """holm-pack (or program, a copy of it started by that name) with args,
    in cwd."""
    command = [program or os.path.abspath(PACK)] + list(args)
    done = harness.run_process(harness.PREFIX + command, cwd=cwd, timeout=timeout,
                               env=env or harness.environment())
    return harness.Result(done.returncode, harness._text(done.stdout), harness._text(done.stderr))


class PackCase(harness.ScratchCase):
    """A scratch directory with a copy of the program as stub.exe."""

    def setUp(self):
        super().setUp()
        if missing():
            self.fail(missing())
        self.stub = self.path("stub.exe")
        shutil.copy(harness.BIN, self.stub)

    def pack(self, *args, **kwargs):
        return run(args, self.dir, **kwargs)

    def write(self, name, data):
        os.makedirs(os.path.dirname(self.path(name)) or self.dir, exist_ok=True)
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def assertPacked(self, done):
        self.assertEqual((done.status, done.stderr), (0, ""))

    def assertRefused(self, done, words, output="out.exe"):
        self.assertEqual(done.status, 1, done)
        self.assertIn(words, done.stderr)
        self.assertFalse(os.path.exists(self.path(output)))
        self.assertFalse(os.path.exists(self.path(output + ".partial")))
