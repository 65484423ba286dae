"""holm-find against simulated printers in network namespaces: every
printer of the ranges found once, a printer at two addresses listed once
with the other noted, garbage reported and left out, --for and --bundle
keeping what a bundle is for, the three forms exactly, the exit statuses
and refusals, nothing ever sent to a port but 631, and the default output
taken by holm-fleet --plan as it is."""
import json
import os
import re
import pty
import shutil
import subprocess
import threading
import unittest

import fleetbed
import findbed
import harness
from downloads import Scratch
from fleet import FLEET, PACK_DIR, make_bundle, run_watched, summary
from fleetbed import Printer, address

FIND = os.environ.get("HOLM_FIND") or os.path.join(PACK_DIR, "holm-find")
CONTRIB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "contrib", "ansible")
TIMEOUT = 120
UUID = "urn:uuid:0a1b2c3d-0000-4000-8000-{:012x}"
SECOND = "198.18.200.1"  # printer LASER's other address

# (model, firmware, name, serial, more simulator arguments)
LASER, LASER_2, JET, GARBAGE, NONSENSE, NO_IPP, ODD_NAME, DERIVED = range(8)
PRINTERS = [
    ("HOLM Laser 5100", "2.0", "lab-1", "SN-A1", []),
    ("HOLM Laser 5200 MFP", "2.1", "lab-2", "SN-A2", []),
    ("HOLM Jet 300", "1.4", "hall", "SN-J1", []),
    ("HOLM Laser 5100", "2.0", "junk", "SN-G1", ["--ipp-garbage", "bytes"]),
    ("HOLM Laser 5100", "2.0", "odd", "SN-G2", ["--ipp-garbage", "values"]),
    ("HOLM Jet 300", "1.4", "mute", "SN-N1", ["--ipp-port", "0"]),
    ("HOLM Jet 310", "1.5", "a\tb\x1bc", "SN-J2", []),
    ("HOLM Jet 320", "1.6", None, None, []),
]
_skip = fleetbed.available() or ("holm-find is built for Linux" if harness.WINE else None)


def spec(i):
    model, firmware, name, serial, more = PRINTERS[i]
    args = ["--model", model, "--firmware", firmware] + more
    if name is not None:
        args += ["--uuid", UUID.format(i + 1), "--printer-name", name, "--serial", serial]
    return Printer(args)


def expected(i):
    """(address, model, firmware, uuid, serial, name, via, other addresses)
    as holm-find must report printer i; the last printer's identity is the
    one its simulator makes from its address."""
    model, firmware, name, serial, _ = PRINTERS[i]
    uuid = UUID.format(i + 1)
    if name is None:
        uuid, name, serial = "urn:uuid:686f6c6d-0000-4000-8000-0000c6120108", "printer-198-18-1-8", "HOLM198018001008"
    return (address(i), model, firmware, uuid, serial, name.replace("\t", " ").replace("\x1b", " "), "ipp",
            SECOND if i == LASER else "")


FOUND = [LASER, LASER_2, JET, ODD_NAME, DERIVED]
RANGES = ["--range", "198.18.1.0/24", "--range", SECOND]


def comment_and_address(row):
    address_, model, firmware, uuid, serial, name, via, others = row
    also = f"; also at {others}" if others else ""
    return f"# {model}; firmware {firmware}; name {name}; serial {serial}; via {via}{also}\n{address_}\n"


@unittest.skipIf(_skip, _skip or "")
class Find(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = Scratch()
        cls.addClassCleanup(cls.scratch.close)
        cls.bed = findbed.FindBed(cls.scratch, [spec(i) for i in range(len(PRINTERS))], {LASER: [SECOND]})
        job = [("job.txt", b"a job\n")]
        make_bundle(cls.scratch.path("laser.exe"), job, ["--for", "HOLM Laser 5*"])
        make_bundle(cls.scratch.path("any.exe"), job)

    def tearDown(self):
        # Whatever a test asked, no printer saw a connection to any port
        # but IPP's.
        self.assertEqual(self.bed.other_port_attempts(), {})

    def find(self, args):
        done = self.bed.run([FIND] + args, timeout=TIMEOUT, cwd=self.scratch.dir)
        return done.returncode, done.stdout.decode("utf-8"), done.stderr.decode("utf-8")

    def assertGarbageReported(self, stderr):
        lines = stderr.splitlines()
        self.assertEqual(len(lines), 2, stderr)
        self.assertRegex(lines[0], "^" + re.escape(f"holm-find: {address(GARBAGE)} (ipp): not listed: no IPP answer"))
        self.assertEqual(lines[1], f"holm-find: {address(NONSENSE)} (ipp): not listed: "
                                   "its printer-make-and-model is longer than 127 bytes")

    def test_every_printer_once_as_a_printers_list(self):
        status, out, err = self.find(RANGES)
        self.assertEqual(status, 0, err)
        self.assertEqual(out, "".join(comment_and_address(expected(i)) for i in FOUND))
        self.assertGarbageReported(err)

    def test_tsv_and_json_exactly(self):
        status, out, err = self.find(RANGES + ["--tsv"])
        self.assertEqual(status, 0, err)
        self.assertEqual(out, "address\tmodel\tfirmware\tuuid\tserial\tname\tvia\tother_addresses\n"
                         + "".join("\t".join(expected(i)) + "\n" for i in FOUND))
        self.assertGarbageReported(err)
        status, out, err = self.find(RANGES + ["--json"])
        self.assertEqual(status, 0, err)
        self.assertTrue(out.startswith("[\n{") and out.endswith("}\n]\n"), out)
        keys = ("address", "model", "firmware", "uuid", "serial", "name")
        rows = [dict(zip(keys, expected(i)[:6]), via=["ipp"], other_addresses=[SECOND] if i == LASER else [])
                for i in FOUND]
        self.assertEqual(json.loads(out), rows)
        self.assertEqual(len(out.splitlines()), len(FOUND) + 2)

    def test_second_address_alone_is_the_printer_there(self):
        status, out, _ = self.find(["--range", SECOND, "--tsv"])
        self.assertEqual(status, 0)
        self.assertEqual(out.splitlines()[1].split("\t")[:4], [SECOND, "HOLM Laser 5100", "2.0", UUID.format(1)])

    def test_for_and_bundle_keep_what_the_bundle_is_for(self):
        lasers = "".join(comment_and_address(expected(i)) for i in (LASER, LASER_2))
        for args in (["--bundle", "laser.exe"], ["--for", "holm laser 5*"]):
            with self.subTest(args=args):
                status, out, _ = self.find(RANGES + args)
                self.assertEqual((status, out), (0, lasers))
        status, out, _ = self.find(RANGES + ["--for", "HOLM Jet 3?0", "--tsv"])
        self.assertEqual([line.split("\t")[0] for line in out.splitlines()[1:]],
                         [address(i) for i in (JET, ODD_NAME, DERIVED)])
        status, out, _ = self.find(RANGES + ["--bundle", "any.exe"])
        self.assertEqual(out.count("\n198.18."), len(FOUND))
        # None fits: nothing found.
        status, out, err = self.find(RANGES + ["--for", "HOLM Ink*"])
        self.assertEqual((status, out), (1, ""))
        self.assertGarbageReported(err)

    def test_default_output_runs_through_holm_fleet_plan(self):
        status, out, _ = self.find(RANGES + ["--bundle", "laser.exe"])
        self.assertEqual(status, 0)
        with open(self.scratch.path("printers.txt"), "w") as f:
            f.write(out)
        plan = self.scratch.path("plan-out")
        done = self.bed.run([FLEET, "--plan", "-o", plan, "laser.exe", "printers.txt"], timeout=TIMEOUT,
                            cwd=self.scratch.dir, env=dict(os.environ, TMPDIR=self.scratch.dir))
        self.assertEqual((done.returncode, done.stderr), (0, b""), done)
        self.assertTrue(done.stdout.decode().startswith("2 printers: 0 current, 2 to deliver, 0 failed\n"), done)
        self.assertEqual([(r[0], r[1], r[6]) for r in summary(plan)[1:]],
                         [(address(LASER), "to deliver", "laser.exe"), (address(LASER_2), "to deliver", "laser.exe")])

    def test_none_found(self):
        for form, printed in (([], ""), (["--tsv"], "address\tmodel\tfirmware\tuuid\tserial\tname\tvia\t"
                                                      "other_addresses\n"), (["--json"], "[]\n")):
            with self.subTest(form=form):
                self.assertEqual(self.find(["--range", "198.18.3.0/30"] + form), (1, printed, ""))
        # A printer without IPP is not found by the ranges.
        self.assertEqual(self.find(["--range", address(NO_IPP)]), (1, "", ""))

    def test_bad_usage(self):
        cases = {
            "127.0.0.1": "--range 127.0.0.1: it holds loopback addresses (127.0.0.0/8)",
            "224.0.0.251": "--range 224.0.0.251: it holds multicast addresses (224.0.0.0/4)",
            "255.255.255.255": "--range 255.255.255.255: it holds the broadcast address 255.255.255.255",
            "0.0.0.0": "--range 0.0.0.0: it holds addresses of \"this network\" (0.0.0.0/8)",
            "198.18.1.0/33": "--range 198.18.1.0/33: not a CIDR block A.B.C.D/N",
            "198.18.1": "--range 198.18.1: not an IPv4 address, A-B range or CIDR block",
            "198.18.1.9-198.18.1.1": "--range 198.18.1.9-198.18.1.1: the range ends before it begins",
        }
        for spec_, why in cases.items():
            with self.subTest(spec=spec_):
                self.assertEqual(self.find(["--range", spec_]), (2, "", f"holm-find: {why}\nTry holm-find --help.\n"))
        with open(self.scratch.path("ranges.txt"), "w") as f:
            f.write("# lab\n198.18.1.0/24\n198.18.2.0/24 # hall\n10.1.2.300\n")
        refusals = {
            ("--range", "@ranges.txt"): "--range @ranges.txt, line 4: 10.1.2.300: "
                                         "not an IPv4 address, A-B range or CIDR block",
            ("--range", "@none.txt"): "--range @none.txt: cannot read none.txt",
            ("--range", "198.18.0.0/15"): "the ranges hold 131072 addresses, more than a /16 (65536): add --large",
            ("--range", "198.18.0.0/16", "--range", "198.19.0.0/32"):
                "the ranges hold 65537 addresses, more than a /16 (65536): add --large",
            ("--snmp",): "--snmp asks the addresses of the ranges: give --range",
            (): "nothing to ask: give --range SPEC or --dns-sd",
            ("--range", "198.18.1.1", "--tsv", "--json"): "--tsv and --json exclude each other",
            ("--range", "198.18.1.1", "--for", "[Laser"): "--for \"[Laser\": a '[' that no ']' closes",
            ("--range", "198.18.1.1", "--wait", "0"): "--wait needs SECONDS, 1 to 3600",
            ("--range", "198.18.1.1", "--bundle", "none.exe"): None,
            ("--range", "198.18.1.1", "--range"): "--range needs a SPEC",
            ("--bogus",): "unknown argument: --bogus",
        }
        for args, why in refusals.items():
            with self.subTest(args=args):
                status, out, err = self.find(list(args))
                self.assertEqual((status, out), (2, ""), err)
                if why is not None:
                    self.assertEqual(err, f"holm-find: {why}\nTry holm-find --help.\n")
                else:
                    self.assertRegex(err, r"^holm-find: --bundle none\.exe: .+\nTry holm-find --help\.\n$")

    def test_overlapping_ranges_ask_each_address_once(self):
        before = [len(p.events("ipp")) for p in self.bed.printers]
        status, out, _ = self.find(["--range", "198.18.1.0/29", "--range", "198.18.1.1-198.18.1.3",
                                    "--range", address(JET), "--tsv"])
        self.assertEqual(status, 0)
        self.assertEqual([line.split("\t")[0] for line in out.splitlines()[1:]],
                         [address(i) for i in (LASER, LASER_2, JET, ODD_NAME)])
        after = [len(p.events("ipp")) for p in self.bed.printers]
        self.assertEqual([a - b for a, b in zip(after, before)], [1, 1, 1, 1, 1, 0, 1, 0])


    def test_progress_only_on_a_terminal(self):
        leader, follower = pty.openpty()
        said = []
        # Read as it comes: a full terminal would hold the program up.
        reader = threading.Thread(target=lambda: said.extend(iter(lambda: self.read_some(leader), b"")))
        reader.start()
        try:
            done = subprocess.run(["ip", "netns", "exec", self.bed.tool_ns, FIND] + RANGES, stdout=subprocess.PIPE,
                                  stderr=follower, timeout=TIMEOUT)
        finally:
            os.close(follower)
            reader.join(timeout=30)
            os.close(leader)
        shown = b"".join(said).decode("utf-8")
        self.assertEqual(done.returncode, 0)
        self.assertEqual(done.stdout.decode(), "".join(comment_and_address(expected(i)) for i in FOUND))
        self.assertIn("\rholm-find: 257 of 257 addresses asked on port 631\r\n", shown)
        self.assertIn(f"holm-find: {address(GARBAGE)} (ipp): not listed", shown)

    @staticmethod
    def read_some(fd):
        try:
            return os.read(fd, 4096)
        except OSError:  # the last holder of the terminal closed it
            return b""

    @unittest.skipUnless(shutil.which("ansible-playbook"), "needs ansible-playbook (ansible-core)")
    def test_ansible_example_builds_its_inventory_from_json(self):
        play_dir = self.scratch.path("ansible")
        shutil.copytree(CONTRIB, play_dir)
        vault = self.scratch.path("vault-password")
        with open(vault, "w") as f:
            f.write("holm-example\n")
        bundle = self.scratch.path("laser.exe")
        env = dict(os.environ, ANSIBLE_CONFIG=os.path.join(play_dir, "ansible.cfg"),
                   ANSIBLE_HOME=self.scratch.path("ansible-home"), ANSIBLE_LOCAL_TEMP=self.scratch.path("ansible-tmp"),
                   ANSIBLE_NOCOLOR="1",
                   PATH=os.pathsep.join([os.path.dirname(os.path.abspath(FIND)), PACK_DIR, os.environ["PATH"]]))
        command = ["ansible-playbook", "-i", "discovered.yml", "discover.yml", "--vault-password-file", vault,
                   "-e", f"holm_bundle={bundle}", "-e", json.dumps({"holm_find_ranges": ["198.18.1.0/24", SECOND]}),
                   "--check"]
        run = run_watched(self.bed, command, play_dir, env, timeout=600)
        self.assertEqual(run.status, 0, run)
        # Check mode: the printers the bundle is for, each once, by the
        # address holm-find gives; nothing sent to any of them.
        self.assertEqual(sorted(re.findall(r'"msg": "would run: \S+ -n (\S+) -l root"', run.stdout)),
                         [address(LASER), address(LASER_2)])


if __name__ == "__main__":
    unittest.main()
