"""holm-find's DNS-SD source against printers that announce themselves by
mDNS in their own namespaces, seen through a private Avahi daemon in the
tool namespace: each service found once with the values of its records,
the services of several types of one printer, a printer seen on two
interfaces, records that are garbage, more services than a client may hold
objects, a daemon with a low object limit, a full cache, a daemon that goes
away, no daemon at all, and a stop request honoured at once."""
import os
import subprocess
import time
import unittest

import fleetbed
import mdnsbed
from downloads import Scratch
from fleetbed import Printer, address

PROBE = os.environ.get("HOLM_DNS_SD_PROBE", "")
_skip = fleetbed.available() or (None if PROBE else "HOLM_DNS_SD_PROBE is not set")

UUID0 = "0F3A6C1E-55B2-4C1D-9E8A-7B6C5D4E3F20"
UUID1 = "urn:uuid:A1B2C3D4-E5F6-4789-8ABC-DEF012345678"
WAIT_MS = 3000
# A browse of WAIT_MS, then at most the resolver's grace; the namespace's
# process start-up on top.
BOUND_S = WAIT_MS / 1000 + 6 + 3


def ipp(name, port=631, txt=()):
    return {"name": name, "type": "_ipp._tcp", "port": port, "txt": list(txt)}


def service(kind, name, port, txt=()):
    return {"name": name, "type": kind, "port": port, "txt": list(txt)}


def probe(bed, env, wait_ms=WAIT_MS, *more, timeout=60):
    started = time.monotonic()
    run = bed.run([PROBE, str(wait_ms)] + [str(m) for m in more], timeout=timeout, env=env)
    return run, time.monotonic() - started


class Bed:
    """A FleetBed of count printers, with the private daemon in its tool
    namespace."""

    @classmethod
    def make(cls, count, daemon_options=()):
        cls.scratch = Scratch()
        cls.addClassCleanup(cls.scratch.close)
        cls.bed = fleetbed.FleetBed(cls.scratch, [Printer() for _ in range(count)])
        cls.mdns = mdnsbed.MdnsBed(cls.scratch, cls.bed.tool_ns, cls.scratch.path("mdns"), daemon_options)

    def ns(self, i):
        return self.bed.printers[i].ns


@unittest.skipIf(_skip, _skip or "")
class SeveralPrinters(Bed, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.make(6)
        m, ns = cls.mdns, lambda i: cls.bed.printers[i].ns
        # Printer 0 offers IPP, IPPS and raw printing, under one name.
        m.announce(ns(0), "laser0.local", [address(0)], [
            ipp("Office Laser", txt=["txtvers=1", "ty=Maker LaserPro 500", f"UUID={UUID0}",
                                     "product=(Maker LaserPro 500 PS)"]),
            service("_ipps._tcp", "Office Laser", 631, ["ty=Maker LaserPro 500", f"UUID={UUID0}"]),
            service("_pdl-datastream._tcp", "Office Laser", 9100, ["product=(Maker LaserPro 500)"])])
        # Printer 1 only LPD, its model in product alone, a key in capitals
        # and repeated (the first counts).
        m.announce(ns(1), "lpd1.local", [address(1)], [
            service("_printer._tcp", "Back Room", 515, ["Product=( Other Model 9 )", f"uuid={UUID1}",
                                                        "product=(Not This One)"])])
        # Printer 2 is also linked to the tool namespace a second way.
        mdnsbed.link(cls.bed.tool_ns, ns(2), "198.19.7.1", "198.19.7.2")
        m.announce(ns(2), "twice2.local", [address(2), "198.19.7.2"], [
            ipp("Twice Linked", txt=["ty=Linked Model"])])
        # Printer 3 sends garbage: control bytes in ty and a UUID that is none.
        m.announce(ns(3), "junk3.local", [address(3)], [
            ipp("Junk \x01Box", txt=[b"ty=Bad\x01\x02Model", "UUID=not-a-uuid"])])
        # Printer 4 names a host that has no address anywhere.
        m.announce(ns(4), "nowhere4.local", [address(4)], [ipp("Nowhere")], address="")
        # Printer 5 claims a loopback address.
        m.announce(ns(5), "loop5.local", [address(5)], [ipp("Looped")], address="127.0.0.7")
        cls.result, cls.took = probe(cls.bed, cls.mdns.environment())

    def test_each_service_once_with_its_values(self):
        lower0 = "urn:uuid:" + UUID0.lower()
        self.assertEqual(self.result.stdout.decode().splitlines(), [
            f"{address(0)}\tOffice Laser\t{lower0}\tMaker LaserPro 500\tipp\tdns-sd\t",
            f"{address(0)}\tOffice Laser\t{lower0}\tMaker LaserPro 500\tipp\tdns-sd\t",
            f"{address(0)}\tOffice Laser\t\tMaker LaserPro 500\t-\tdns-sd\t",
            f"{address(1)}\tBack Room\t{UUID1.lower()}\tOther Model 9\t-\tdns-sd\t",
            f"{address(2)}\tTwice Linked\t\tLinked Model\tipp\tdns-sd\t",
            f"{address(3)}\tJunk ?Box\t\t\tipp\tdns-sd\t"
            "its DNS-SD instance name holds control characters or is not UTF-8; "
            "its DNS-SD TXT key ty holds control characters or is not UTF-8; "
            "its DNS-SD TXT key UUID is no UUID",
        ])
        self.assertEqual(self.result.returncode, 0)

    def test_unusable_services_are_left_out_with_a_warning(self):
        self.assertEqual(sorted(self.result.stderr.decode().splitlines()), [
            'warning: could not resolve the DNS-SD service "Looped" (_ipp._tcp): '
            "it gives the address 127.0.0.7, which no printer has",
            'warning: could not resolve the DNS-SD service "Nowhere" (_ipp._tcp): Timeout reached',
        ])

    def test_run_time_is_bounded(self):
        self.assertGreaterEqual(self.took, WAIT_MS / 1000)
        self.assertLess(self.took, BOUND_S)

    def test_stop_is_honoured_within_a_second(self):
        run, took = probe(self.bed, self.mdns.environment(), 60000, 500)
        self.assertEqual(run.returncode, 0)
        self.assertLess(took, 2.5)


@unittest.skipIf(_skip, _skip or "")
class LowObjectLimit(Bed, unittest.TestCase):
    """A daemon that allows each client 16 objects: the four browsers leave
    room for 12 resolvers, so 120 services are only all resolved when each
    resolver is freed as it answers and the rest wait their turn."""
    COUNT = 120

    @classmethod
    def setUpClass(cls):
        cls.make(1, ["objects-per-client-max=16"])
        cls.mdns.announce(cls.bed.printers[0].ns, "many0.local", [address(0)], [
            service("_printer._tcp", f"Queue {i:03}", 515, [f"ty=Queue Model {i}"]) for i in range(cls.COUNT)])

    def test_every_service_is_resolved(self):
        run, _ = probe(self.bed, self.mdns.environment())
        self.assertEqual(run.stderr.decode(), "")
        self.assertEqual(run.stdout.decode().splitlines(), [
            f"{address(0)}\tQueue {i:03}\t\tQueue Model {i}\t-\tdns-sd\t" for i in range(self.COUNT)])


@unittest.skipIf(_skip, _skip or "")
class ManyServices(Bed, unittest.TestCase):
    """More services than the daemon's default of 1024 objects a client,
    all resolved; at that many, the cache may run full and that is said."""
    COUNT = 1100

    @classmethod
    def setUpClass(cls):
        cls.make(1)
        cls.mdns.announce(cls.bed.printers[0].ns, "many0.local", [address(0)], [
            service("_printer._tcp", f"Queue {i:04}", 515, [f"ty=Model {i}"]) for i in range(cls.COUNT)])

    def test_every_service_is_resolved(self):
        run, took = probe(self.bed, self.mdns.environment())
        self.assertEqual(run.stdout.decode().splitlines(), [
            f"{address(0)}\tQueue {i:04}\t\tModel {i}\t-\tdns-sd\t" for i in range(self.COUNT)])
        self.assertEqual(run.stderr.decode(), f"warning: Avahi's cache may be full ({self.COUNT} services seen, 0 of "
                         "them not answering in time): it drops new records silently, so some printers may be "
                         "missing; raise cache-entries-max in avahi-daemon.conf\n")
        self.assertLess(took, BOUND_S)


@unittest.skipIf(_skip, _skip or "")
class FullCache(Bed, unittest.TestCase):
    """Avahi tells no client when its cache is full: the services whose
    records it dropped time out, and that is said."""

    @classmethod
    def setUpClass(cls):
        cls.make(1, ["cache-entries-max=60"])
        cls.mdns.announce(cls.bed.printers[0].ns, "many0.local", [address(0)], [
            service("_printer._tcp", f"Queue {i:03}", 515) for i in range(120)])

    def test_the_full_cache_is_reported(self):
        run, _ = probe(self.bed, self.mdns.environment())
        self.assertEqual(run.returncode, 0)
        warnings = run.stderr.decode().splitlines()
        self.assertRegex(warnings[-1], r"^warning: Avahi's cache may be full \((\d+) services seen, \1 of them "
                         "not answering in time\): it drops new records silently, so some printers may be "
                         "missing; raise cache-entries-max in avahi-daemon.conf$")
        # The ten named, then the count of the rest.
        self.assertRegex(warnings[-2], r"^warning: could not resolve \d+ more DNS-SD services$")
        self.assertEqual(len(warnings), 12)


@unittest.skipIf(_skip, _skip or "")
class DaemonGoesAway(Bed, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.make(1)
        cls.mdns.announce(cls.bed.printers[0].ns, "gone0.local", [address(0)], [ipp("Gone Soon", txt=["ty=G 1"])])

    def test_what_was_found_stays_and_the_loss_is_said(self):
        started = time.monotonic()
        run = self.bed.popen([PROBE, "30000"], env=self.mdns.environment(), stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        try:
            time.sleep(2)
            self.mdns.stop_daemon()
            out, err = run.communicate(timeout=10)
        finally:
            run.kill()
            run.wait()
        self.assertLess(time.monotonic() - started, 5)
        self.assertEqual((run.returncode, out.decode()), (0, f"{address(0)}\tGone Soon\t\tG 1\tipp\tdns-sd\t\n"))
        self.assertEqual(err.decode(), "warning: the Avahi daemon went away while browsing (Daemon connection "
                                       "failed): printers may be missing\n")


@unittest.skipIf(_skip, _skip or "")
class NoDaemon(unittest.TestCase):
    def setUp(self):
        self.scratch = Scratch()
        self.addCleanup(self.scratch.close)

    def assertProblem(self, env):
        run = subprocess.run([PROBE, "2000"], capture_output=True, timeout=30, env=env)
        self.assertEqual((run.returncode, run.stdout), (1, b""))
        self.assertEqual(run.stderr.decode(),
                         "problem: cannot browse DNS-SD: no Avahi daemon could be reached over D-Bus "
                         "(Daemon not running); is avahi-daemon running?\n")

    def test_no_bus(self):
        self.assertProblem(dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS="unix:path=" + self.scratch.path("none")))

    def test_bus_without_avahi(self):
        bed = mdnsbed.MdnsBed(self.scratch, None, self.scratch.path("mdns"), with_daemon=False)
        self.assertProblem(bed.environment())


if __name__ == "__main__":
    unittest.main()
