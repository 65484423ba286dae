"""holm-find's SNMP and DNS-SD sources merged with its IPP source, against
simulated printers with SNMP agents and mDNS responders (findbed): a
printer seen by two sources is one line "via ipp,snmp" or "via ipp,dns-sd",
a printer without IPP is found by SNMP alone, a wrong community finds
nothing there; a printer DNS-SD announces is read over IPP at the address
announced, also when that is another of its addresses, and one announced
without IPP is listed as DNS-SD saw it; no TCP port but 631 is ever
reached, not even the 9100 an announcement names."""
import os
import shutil
import subprocess
import unittest

import fleetbed
import findbed
import harness
from downloads import Scratch
from fleet import PACK_DIR
from fleetbed import Printer, address

FIND = os.environ.get("HOLM_FIND") or os.path.join(PACK_DIR, "holm-find")
TIMEOUT = 120
UUID = "urn:uuid:0c1d2e3f-0000-4000-8000-00000000000{}"
BOTH, SNMP_ONLY, IPP_ONLY = range(3)
_skip = (fleetbed.available() or ("holm-find is built for Linux" if harness.WINE else None)
         or (None if shutil.which("snmpd") and shutil.which("snmpget") else "needs snmpd and snmpget (snmpd, snmp)"))


@unittest.skipIf(_skip, _skip or "")
class SnmpSource(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = Scratch()
        cls.addClassCleanup(cls.scratch.close)
        specs = [Printer(["--model", "HOLM Laser 5100", "--firmware", "2.0", "--uuid", UUID.format(1),
                          "--printer-name", "lab-1", "--serial", "SN-B1"]),
                 Printer(["--ipp-port", "0"]),
                 Printer(["--model", "HOLM Jet 300", "--firmware", "1.4", "--uuid", UUID.format(3),
                          "--printer-name", "hall", "--serial", "SN-I3"])]
        cls.bed = findbed.FindBed(cls.scratch, specs, snmp={
            BOTH: ("HOLM Laser 5100", "lab-1", "HOLM Laser 5100", "SN-B1"),
            SNMP_ONLY: ("HOLM Jet 200", "mute", "HOLM Jet 200", "SN-S2")})

    def tearDown(self):
        self.assertEqual(self.bed.other_port_attempts(), {})

    def find(self, args):
        done = self.bed.run([FIND] + args, timeout=TIMEOUT)
        return done.returncode, done.stdout.decode("utf-8"), done.stderr.decode("utf-8")

    def test_the_agents_answer(self):
        # The bed itself, so that a failure below is the program's.
        done = self.bed.run(["snmpget", "-v2c", "-c", "public", "-t", "2", "-On", address(SNMP_ONLY)]
                            + list(findbed.SNMP_OIDS), timeout=60)
        self.assertEqual(done.returncode, 0, done)
        self.assertIn(b'.1.3.6.1.2.1.43.5.1.1.17.1 = STRING: "SN-S2"', done.stdout)

    def test_snmp_and_ipp_merged_and_snmp_alone_found(self):
        status, out, err = self.find(["--range", "198.18.1.0/29", "--snmp", "--tsv"])
        self.assertEqual((status, err), (0, ""))
        rows = [line.split("\t") for line in out.splitlines()[1:]]
        self.assertEqual([(r[0], r[4], r[6], r[7]) for r in rows],
                         [(address(BOTH), "SN-B1", "ipp,snmp", ""), (address(SNMP_ONLY), "SN-S2", "snmp", ""),
                          (address(IPP_ONLY), "SN-I3", "ipp", "")])
        self.assertEqual(rows[0][1:4] + rows[0][5:6], ["HOLM Laser 5100", "2.0", UUID.format(1), "lab-1"])
        self.assertEqual((rows[1][1], rows[1][3], rows[1][5]), ("HOLM Jet 200", "", "mute"))

    def test_another_community_finds_what_ipp_finds(self):
        status, out, _ = self.find(["--range", "198.18.1.0/29", "--snmp", "not-public", "--tsv"])
        self.assertEqual(status, 0)
        self.assertEqual([(line.split("\t")[0], line.split("\t")[6]) for line in out.splitlines()[1:]],
                         [(address(BOTH), "ipp"), (address(IPP_ONLY), "ipp")])


LASER, JET, TWO_ADDRESSES = range(3)
OTHER_ADDRESS = "198.18.200.3"
_skip_dns_sd = _skip or (None if shutil.which("avahi-daemon") and shutil.which("dbus-daemon")
                         else "needs avahi-daemon and dbus-daemon")


def bare(uuid):
    return uuid[len("urn:uuid:"):]


@unittest.skipIf(_skip_dns_sd, _skip_dns_sd or "")
class DnsSdSource(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = Scratch()
        cls.addClassCleanup(cls.scratch.close)
        specs = [Printer(["--model", "HOLM Laser 5100", "--firmware", "2.0", "--uuid", UUID.format(4),
                          "--printer-name", "lab-1", "--serial", "SN-D4"]),
                 Printer(["--model", "HOLM Jet 300", "--firmware", "1.4", "--uuid", UUID.format(5)]),
                 Printer(["--model", "HOLM Laser 5200", "--firmware", "2.1", "--uuid", UUID.format(6),
                          "--printer-name", "lab-2", "--serial", "SN-D6"])]
        cls.bed = findbed.FindBed(cls.scratch, specs, more_addresses={TWO_ADDRESSES: [OTHER_ADDRESS]}, dns_sd={
            LASER: [f"HOLM Laser lab-1|_ipp._tcp|631|ty=HOLM Laser 5100|UUID={bare(UUID.format(4))}|rp=ipp/print"],
            JET: ["HOLM Jet hall|_pdl-datastream._tcp|9100|ty=HOLM Jet 300"],
            TWO_ADDRESSES: [f"HOLM Laser lab-2|_ipp._tcp|631|ty=HOLM Laser 5200|UUID={bare(UUID.format(6))}"
                            "|rp=ipp/print"]},
            dns_sd_address={TWO_ADDRESSES: OTHER_ADDRESS})

    def tearDown(self):
        self.assertEqual(self.bed.other_port_attempts(), {})

    def find(self, args):
        done = self.bed.run([FIND] + args, timeout=TIMEOUT, env=self.bed.dns_sd_env())
        return done.returncode, done.stdout.decode("utf-8"), done.stderr.decode("utf-8")

    def test_the_bed_announces(self):
        done = self.bed.run(["timeout", "5", "avahi-browse", "-r", "-p", "_ipp._tcp"], env=self.bed.dns_sd_env(),
                            timeout=60)
        resolved = sorted(line.split(";")[7] for line in done.stdout.decode().splitlines() if line.startswith("="))
        self.assertEqual(resolved, [address(LASER), OTHER_ADDRESS], done)

    def test_announced_printers_read_over_ipp_and_merged(self):
        status, out, err = self.find(["--dns-sd", "--wait", "4", "--tsv"])
        self.assertEqual((status, err), (0, ""))
        rows = [line.split("\t") for line in out.splitlines()[1:]]
        self.assertEqual([(r[0], r[6], r[7]) for r in rows],
                         [(address(LASER), "ipp,dns-sd", ""), (address(JET), "dns-sd", ""),
                          (OTHER_ADDRESS, "ipp,dns-sd", "")])
        self.assertEqual(rows[0][1:6], ["HOLM Laser 5100", "2.0", UUID.format(4), "SN-D4", "lab-1"])
        self.assertEqual(rows[2][3], UUID.format(6))

    def test_announced_at_another_address_is_one_printer_with_the_range(self):
        status, out, _ = self.find(["--range", "198.18.1.0/29", "--dns-sd", "--wait", "4", "--tsv"])
        self.assertEqual(status, 0)
        rows = [line.split("\t") for line in out.splitlines()[1:]]
        self.assertEqual([(r[0], r[3], r[6], r[7]) for r in rows],
                         [(address(LASER), UUID.format(4), "ipp,dns-sd", ""),
                          (address(JET), UUID.format(5), "ipp,dns-sd", ""),
                          (address(TWO_ADDRESSES), UUID.format(6), "ipp,dns-sd", OTHER_ADDRESS)])


if __name__ == "__main__":
    unittest.main()
