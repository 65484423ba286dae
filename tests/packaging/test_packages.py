"""The packages: the .deb unpacked into a scratch root, its programs run
from there; the Windows .zip holds the two 32-bit programs.

Environment (set by CTest):
  HOLM_BIN        the built holm, whose help the installed one must print
  HOLM_CPACK      the cpack command
  HOLM_BUILD_DIR  the native build folder (its CPackConfig.cmake)
  HOLM_WIN32_DIR  the win32 build folder, if it is known
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile

BIN = os.environ.get("HOLM_BIN", "")
CPACK = os.environ.get("HOLM_CPACK", "cpack")
BUILD = os.environ.get("HOLM_BUILD_DIR", "")
WIN32 = os.environ.get("HOLM_WIN32_DIR", "")
TIMEOUT = 300
SIGNATURE = bytes([0x50, 0x4B, 0x03, 0x04])
I386 = 0x14C


def make_package(build_dir, generator, into):
    """Runs cpack on a build folder; the one package file it made."""
    subprocess.run([CPACK, "-G", generator, "--config", os.path.join(build_dir, "CPackConfig.cmake"), "-B", into],
                   check=True, capture_output=True, timeout=TIMEOUT)
    made = [n for n in os.listdir(into) if n.endswith("." + generator.lower())]
    if len(made) != 1:
        raise AssertionError(f"cpack made {made} in {into}")
    return os.path.join(into, made[0])


def run(command, cwd=None, env=None, stdin=b""):
    return subprocess.run(command, cwd=cwd, env=env, input=stdin, capture_output=True, timeout=TIMEOUT)


def program_version():
    return re.search(rb"Version (\S+)", run([BIN, "-h"]).stdout).group(1).decode()


def pe_machine(data):
    """The machine field of a PE image's file header, or None."""
    if data[:2] != b"MZ" or len(data) < 0x40:
        return None
    header = struct.unpack_from("<I", data, 0x3C)[0]
    if data[header:header + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", data, header + 4)[0]


class Scratch(unittest.TestCase):
    @classmethod
    def scratch(cls):
        folder = tempfile.mkdtemp(prefix="holm-package-")
        cls.addClassCleanup(shutil.rmtree, folder, True)
        return folder


class DebianPackage(Scratch):
    @classmethod
    def setUpClass(cls):
        if not BIN or not os.path.isfile(os.path.join(BUILD, "CPackConfig.cmake")):
            raise AssertionError(f"HOLM_BIN or HOLM_BUILD_DIR do not name the native build: {BIN!r}, {BUILD!r}")
        cls.dir = cls.scratch()
        cls.deb = make_package(BUILD, "DEB", os.path.join(cls.dir, "package"))
        cls.root = os.path.join(cls.dir, "root")
        subprocess.run(["dpkg", "-x", cls.deb, cls.root], check=True, timeout=TIMEOUT)
        cls.bin = os.path.join(cls.root, "usr", "bin")

    def field(self, name):
        return run(["dpkg-deb", "-f", self.deb, name]).stdout.decode().strip()

    def test_control_fields(self):
        self.assertEqual(self.field("Package"), "holm")
        self.assertEqual(self.field("Version"), program_version())
        depends = [d.split()[0] for d in self.field("Depends").split(",")]
        for library in ("libcups2", "libavahi-client3", "libsnmp40"):
            self.assertIn(library, depends)
        # holm-fleet runs every printer itself; parallel only spreads a
        # fleet over several control machines.
        self.assertNotIn("parallel", depends)
        self.assertEqual(self.field("Recommends"), "parallel, minisign, osslsigncode, avahi-daemon")

    def test_files_stand_where_the_system_looks_for_them(self):
        listed = run(["dpkg-deb", "-c", self.deb]).stdout.decode()
        for path in ("usr/bin/holm", "usr/bin/holm-pack", "usr/bin/holm-fleet", "usr/bin/holm-find",
                     "usr/share/man/man1/holm.1", "usr/share/man/man1/holm-pack.1", "usr/share/man/man1/holm-fleet.1",
                     "usr/share/man/man1/holm-find.1"):
            with self.subTest(path=path):
                self.assertRegex(listed, r"\./" + re.escape(path) + r"(\.gz)?\n")
        for page in ("holm", "holm-pack", "holm-fleet", "holm-find"):
            with self.subTest(page=page):
                found = run(["man", "-M", os.path.join(self.root, "usr", "share", "man"), "-w", page])
                self.assertEqual(found.returncode, 0, found.stderr)
                self.assertTrue(found.stdout.decode().startswith(self.root), found.stdout)
                checked = run(["man", "--warnings", "-l", found.stdout.decode().strip()],
                              env=dict(os.environ, MANPAGER="cat", PAGER="cat", MANWIDTH="80"))
                self.assertEqual((checked.returncode, checked.stderr), (0, b""))

    def test_ansible_example_is_carried_whole_and_parses(self):
        installed = os.path.join(self.root, "usr", "share", "doc", "holm", "ansible")
        source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "contrib", "ansible")
        self.assertEqual(run(["diff", "-r", source, installed]).stdout, b"")
        if shutil.which("ansible-playbook"):
            checked = run(["ansible-playbook", "--syntax-check", "deliver.yml"], cwd=installed,
                          env=dict(os.environ, ANSIBLE_CONFIG=os.path.join(installed, "ansible.cfg"),
                                   ANSIBLE_HOME=os.path.join(self.dir, "ansible-home")))
            self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)

    def test_installed_holm_shows_the_built_help(self):
        for option in ("-h", "-x"):
            with self.subTest(option=option):
                installed = run([os.path.join(self.bin, "holm"), option])
                built = run([BIN, option])
                self.assertEqual((installed.returncode, installed.stderr), (1, b""))
                self.assertEqual(installed.stdout, built.stdout)

    def test_installed_holm_fleet_runs(self):
        fleet = os.path.join(self.bin, "holm-fleet")
        self.assertTrue(os.access(fleet, os.X_OK))
        shown = run([fleet, "--help"])
        self.assertEqual((shown.returncode, shown.stderr), (0, b""))
        self.assertTrue(shown.stdout.startswith(b"Usage: holm-fleet "), shown.stdout)
        # One printer: this machine itself, asked whether it answers; with
        # nothing on PATH but the system's own commands.
        work = tempfile.mkdtemp(dir=self.dir)
        with open(os.path.join(work, "notes.txt"), "w") as f:
            f.write("release notes\n")
        packed = run([os.path.join(self.bin, "holm-pack"), "-o", "probe.exe", "notes.txt"], cwd=work)
        self.assertEqual(packed.returncode, 0, packed)
        done = run([fleet, "-m", "g", "-o", "out", "probe.exe", "-"], cwd=work, stdin=b"127.0.0.1\n",
                   env=dict(os.environ, PATH="/usr/bin:/bin"))
        self.assertEqual((done.returncode, done.stderr.decode()), (0, ""), done)
        self.assertEqual(done.stdout.decode(), f"1 printer: 1 ok, 0 failed\nRecords: {work}/out/summary.tsv\n")
        with open(os.path.join(work, "out", "printers", "127.0.0.1", "stdout")) as f:
            self.assertEqual(f.read(), "\nDevice is alive\n")

    def test_bundle_from_the_installed_packer_extracts(self):
        work = tempfile.mkdtemp(dir=self.dir)
        files = {"fw/image.bin": b"qUoRdaViNe" + os.urandom(70000), "notes.txt": b"release notes\n"}
        for name, data in files.items():
            os.makedirs(os.path.join(work, os.path.dirname(name)), exist_ok=True)
            with open(os.path.join(work, name), "wb") as f:
                f.write(data)
        # Typed by name, as a user would, so it must find holm beside itself.
        env = dict(os.environ, PATH=self.bin + os.pathsep + os.environ.get("PATH", ""))
        packed = run(["holm-pack", "-o", "fw-update.exe", *files], cwd=work, env=env)
        self.assertEqual((packed.returncode, packed.stderr), (0, b""))
        with open(os.path.join(work, "fw-update.exe"), "rb") as bundle, \
                open(os.path.join(self.bin, "holm"), "rb") as stub:
            program = stub.read()
            self.assertEqual(bundle.read(len(program)), program)
        out = os.path.join(work, "out")
        os.mkdir(out)
        extracted = run(["../fw-update.exe"], cwd=out)
        self.assertEqual(extracted.returncode, 0, extracted)
        self.assertEqual(extracted.stdout.decode(), "".join(f"\nExtracting: {n}\n" for n in files))
        for name, data in files.items():
            with open(os.path.join(out, name), "rb") as f:
                self.assertEqual(f.read(), data, name)


@unittest.skipUnless(WIN32, "the win32 build folder is not known")
class WindowsZip(Scratch):
    def test_zip_holds_the_two_32_bit_programs(self):
        package = make_package(WIN32, "ZIP", os.path.join(self.scratch(), "package"))
        with zipfile.ZipFile(package) as archive:
            self.assertIsNone(archive.testzip())
            programs = {os.path.basename(n): archive.read(n) for n in archive.namelist() if not n.endswith("/")}
            top = {n.split("/")[0] for n in archive.namelist()}
        self.assertEqual(sorted(programs), ["holm-pack.exe", "holm.exe"])
        self.assertEqual(len(top), 1)
        self.assertIn(program_version(), top.pop())
        for name, data in programs.items():
            with self.subTest(program=name):
                self.assertEqual(pe_machine(data), I386)
        # The stub finds its archive by the first signature in its own file.
        self.assertNotIn(SIGNATURE, programs["holm.exe"])


if __name__ == "__main__":
    unittest.main()
