"""holm-find's SNMP source against snmpd agents in a bed's printer
namespaces, through the probe program that runs the source alone (one
line a sighting: address, via, model, firmware, serial, name, problem)."""
import os
import re
import subprocess
import time
import unittest

import fleetbed
import snmpbed
from downloads import Scratch
from fleetbed import Printer, address

PROBE = os.environ.get("HOLM_SNMP_PROBE", "")
_skip = fleetbed.available() or snmpbed.available() or (None if PROBE else "HOLM_SNMP_PROBE not set")

FULL, DESCR_ONLY, WRONG_TYPE, CONTROL_BYTES, OTHER_COMMUNITY, NO_AGENT, ERROR_STATUS, OTHER_OBJECTS, SHORT, REPORT = range(10)
AGENTS = {
    FULL: snmpbed.printer(model="HOLM Laser 5100", name="lobby-1", serial="HL5-000123",
                          sys_descr="HOLM printer OS 3.2; Größe A4"),
    DESCR_ONLY: snmpbed.printer(sys_descr="HOLM Inkjet 200 v1.4", name="back office"),
    WRONG_TYPE: {snmpbed.SYS_DESCR: ("integer", "42"), **snmpbed.printer(name="odd")},
    CONTROL_BYTES: snmpbed.printer(model="HOLM Laser 5200", name=b"lobby\n\x1b[2J"),
    OTHER_COMMUNITY: snmpbed.printer(model="HOLM Laser 5300", name="site-ro", serial="HL5-9"),
}
COMMUNITIES = {OTHER_COMMUNITY: "holm-ro"}
CRAFTED = {ERROR_STATUS: "error-status", OTHER_OBJECTS: "other-objects", SHORT: "short",
           REPORT: "report"}
GARBAGE = "the SNMP agent answered garbage: "


def line(i, model="", serial="", name="", problem=""):
    return "\t".join([address(i), "snmp", model, "", serial, name, problem])


EXPECTED = {
    FULL: line(FULL, "HOLM Laser 5100", "HL5-000123", "lobby-1"),
    DESCR_ONLY: line(DESCR_ONLY, "HOLM Inkjet 200 v1.4", "", "back office"),
    WRONG_TYPE: line(WRONG_TYPE, problem=GARBAGE + "sysDescr is not a string"),
    CONTROL_BYTES: line(CONTROL_BYTES, problem=GARBAGE + "a control byte in a value (sysName)"),
    OTHER_COMMUNITY: line(OTHER_COMMUNITY, "HOLM Laser 5300", "HL5-9", "site-ro"),
    ERROR_STATUS: line(ERROR_STATUS, problem=GARBAGE + "error status 5"),
    OTHER_OBJECTS: line(OTHER_OBJECTS, problem=GARBAGE + "other objects than those asked"),
    SHORT: line(SHORT, problem=GARBAGE + "other objects than those asked"),
}
# What the community "public" finds, in address order.
PUBLIC = [EXPECTED[i] for i in (FULL, DESCR_ONLY, WRONG_TYPE, CONTROL_BYTES, ERROR_STATUS, OTHER_OBJECTS, SHORT)]


@unittest.skipIf(_skip, _skip or "")
class SnmpSource(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = Scratch()
        cls.addClassCleanup(cls.scratch.close)
        cls.bed = fleetbed.FleetBed(cls.scratch, [Printer() for _ in range(10)])
        # The kernel's neighbour table is shared by every namespace of the
        # machine and holds 1024 entries: a wide scan (this one's, or another
        # test's) can leave no room for a printer's entry, and its packets are
        # then dropped unsaid. Pinned entries take no room and stay.
        for p in cls.bed.printers:
            link = subprocess.run(["ip", "-n", p.ns, "-o", "link", "show", "eth0"], capture_output=True,
                                  text=True, check=True, timeout=30).stdout
            mac = re.search(r"link/ether ([0-9a-f:]{17})", link).group(1)
            subprocess.run(["ip", "-n", cls.bed.tool_ns, "neigh", "replace", p.address, "lladdr", mac, "dev", "br0",
                            "nud", "permanent"], capture_output=True, check=True, timeout=30)
        for i, values in AGENTS.items():
            p = cls.bed.printers[i]
            snmpbed.Agent(cls.scratch, p.ns, p.address, values, cls.scratch.path(f"agent{i}"),
                          community=COMMUNITIES.get(i, "public"))
        for i, kind in CRAFTED.items():
            p = cls.bed.printers[i]
            snmpbed.CraftedAgent(cls.scratch, p.ns, p.address, kind)

    def probe(self, args, limit=None, soft=False, timeout=120):
        """The probe in the tool namespace, under a limit of open files (the
        soft one alone, or both): its stdout lines, and the ms it reported
        spending."""
        command = [PROBE] + args
        if limit is not None:
            command = ["sh", "-c", f'ulimit {"-S" if soft else ""} -n {limit} && exec "$@"', "sh"] + command
        run = self.bed.run(command, timeout=timeout, text=True)
        self.assertEqual(run.returncode, 0, run)
        elapsed = re.fullmatch(r"elapsed (\d+)\n", run.stderr)
        self.assertIsNotNone(elapsed, run.stderr)
        return run.stdout.splitlines(), int(elapsed.group(1))

    def asked(self):
        """Every printer simulator's events besides its start: the IPP, raw
        and console ports it saw used."""
        return [[e for e in p.events() if e.get("event") != "ready"] for p in self.bed.printers]

    def test_every_agent_found_with_its_values(self):
        before = self.asked()
        lines, _ = self.probe(["--timeout", "700", "--retries", "0"] + [address(i) for i in range(10)])
        self.assertEqual(lines, PUBLIC)
        # A report is no answer, but the asking ends with it.
        lines, ms = self.probe(["--timeout", "3000", "--retries", "0", address(REPORT)])
        self.assertEqual(lines, [])
        self.assertLess(ms, 1000)
        lines, _ = self.probe(["--timeout", "700", "--retries", "0", "--community", "holm-ro",
                               address(OTHER_COMMUNITY), address(FULL)])
        self.assertEqual(lines, [EXPECTED[OTHER_COMMUNITY]])
        # Nothing but SNMP: no printer's IPP, raw or console port was touched.
        self.assertEqual(self.asked(), before)

    def test_a_silent_address_costs_its_bound(self):
        # The printer without an agent, and an address where nothing is.
        for silent in (address(NO_AGENT), "198.18.3.77"):
            lines, ms = self.probe(["--timeout", "600", "--retries", "1", silent])
            self.assertEqual(lines, [])
            self.assertGreaterEqual(ms, 1150, silent)
            self.assertLess(ms, 1650, silent)
        # An address with no route to it fails at once, and is not found.
        lines, ms = self.probe(["--timeout", "600", "--retries", "1", "198.19.0.1"])
        self.assertEqual(lines, [])
        self.assertLess(ms, 400)
        # Many silent addresses at once cost the same bound, and an agent
        # among them answers as ever.
        lines, ms = self.probe(["--timeout", "600", "--retries", "1", "198.18.2.0/24", address(FULL)])
        self.assertEqual(lines, [EXPECTED[FULL]])
        self.assertLess(ms, 2500)

    def test_stop_ends_the_asking_soon(self):
        lines, ms = self.probe(["--timeout", "20000", "--retries", "0", "--stop-after", "500", "198.18.2.0/24"])
        self.assertEqual(lines, [])
        self.assertGreaterEqual(ms, 450)
        self.assertLess(ms, 1500)

    def test_more_addresses_than_descriptors(self):
        # A /22 with the printers in it (198.18.1.x), under a limit of 256
        # open files: at most that many sessions at once, every agent found.
        started = time.monotonic()
        lines, ms = self.probe(["--timeout", "500", "--retries", "1", "198.18.0.0/22"], limit=256)
        self.assertEqual(lines, PUBLIC)
        # 1024 addresses a second apiece, some 190 at once: a few rounds,
        # not one address after another.
        self.assertLess(ms, 20000)
        self.assertLess(time.monotonic() - started, 60)
        # Other parts of the process hold descriptors the limit does not
        # show: the source asks fewer at once and still asks every address.
        lines, ms = self.probe(["--timeout", "500", "--retries", "1", "--hold", "150", "198.18.0.0/22"], limit=256)
        self.assertEqual(lines, PUBLIC)
        self.assertLess(ms, 40000)
        # A soft limit is raised to the hard one: all 1024 at once.
        lines, ms = self.probe(["--timeout", "500", "--retries", "1", "198.18.0.0/22"], limit=256, soft=True)
        self.assertEqual(lines, PUBLIC)
        self.assertLess(ms, 2500)


if __name__ == "__main__":
    unittest.main()
