"""A fleet bed for holm-find: the simulated printers of fleetbed, each
namespace counting every TCP connection attempt to a port other than IPP's
(631), so that a test sees that discovery never reached the print port
(9100), the console (23) or any other; printers given more than one
address; printers with an SNMP agent; printers that announce themselves
over DNS-SD.

The counter is an nftables rule in each printer namespace, on the input
hook, ahead of everything: a SYN to any port but 631 counts, whether or not
anything listens there. The namespaces go with the bed, rules and all.

The SNMP agent of a printer is Debian's snmpd, one per namespace, on UDP
port 161 of the printer's address, community "public", serving sysDescr,
sysName, hrDeviceDescr and prtGeneralSerialNumber through "override"
lines; its state and log stay in the printer's folder.

DNS-SD: a printer given services runs tools/printer-sim/mdns_responder.py
in its namespace, which announces them over mDNS multicast and answers
queries for them; the multicast crosses the veth pairs and the bridge. The
tool namespace gets an Avahi daemon of its own beside whatever the machine
runs: a private system bus (dbus-daemon with a configuration that allows
everything, listening on a socket in the bed's folder), and avahi-daemon
started in a mount namespace of its own with a tmpfs over /run (so its pid
file and /run/avahi-daemon are its own), on br0 alone, IPv4 only. Clients
reach it through DBUS_SYSTEM_BUS_ADDRESS (dns_sd_env()).

Every agent, responder and daemon is ended with the bed, before the
namespaces go, also when a test fails.
"""
import os
import re
import subprocess
import sys
import time

import fleetbed
import netbed

# sysDescr, sysName, hrDeviceDescr, prtGeneralSerialNumber
SNMP_OIDS = ("1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.1.5.0", "1.3.6.1.2.1.25.3.2.1.3.1", "1.3.6.1.2.1.43.5.1.1.17.1")

COUNTER_RULES = """table inet holmfind {
 chain input {
  type filter hook input priority -300;
  tcp dport != 631 tcp flags & (syn | ack) == syn counter
 }
}
"""

RESPONDER = os.path.join(os.path.dirname(netbed.SIM), "mdns_responder.py")
BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
"""
AVAHI_CONFIG = """[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=br0
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
disable-publishing=yes
"""


def _wait(what, ready, process=None, seconds=60):
    deadline = time.monotonic() + seconds
    while not ready():
        if time.monotonic() > deadline or (process is not None and process.poll() is not None):
            raise RuntimeError(f"{what} did not start")
        time.sleep(0.05)


class FindBed(fleetbed.FleetBed):
    def __init__(self, case, specs, more_addresses=None, snmp=None, dns_sd=None, dns_sd_address=None):
        """more_addresses: {printer index: [address, ...]} added beside its
        own, on the same link; snmp: {printer index: (sysDescr, sysName,
        hrDeviceDescr, prtGeneralSerialNumber)} for the printers that have
        an agent; dns_sd: {printer index: ["INSTANCE|TYPE|PORT|KEY=VALUE...",
        ...]} for the printers that announce services, at their own
        address unless dns_sd_address {printer index: address} names one
        of their others."""
        self.processes = []  # agents, the bus, avahi-daemon, responders: ended last first
        self.bus_socket = None
        super().__init__(case, specs)
        for p in self.printers:
            subprocess.run(["ip", "netns", "exec", p.ns, "nft", "-f", "-"], input=COUNTER_RULES, text=True,
                           check=True, capture_output=True, timeout=60)
        for i, addresses in (more_addresses or {}).items():
            for a in addresses:
                subprocess.run(["ip", "-n", self.printers[i].ns, "addr", "add", f"{a}/16", "dev", "eth0"],
                               check=True, capture_output=True, timeout=60)
        for i, values in (snmp or {}).items():
            self._start_agent(self.printers[i], values)
        if dns_sd:
            self._start_avahi()
            for i, services in dns_sd.items():
                self._start_responder(self.printers[i], services, (dns_sd_address or {}).get(i))

    def _start_agent(self, p, values):
        folder = os.path.join(p.dir, "snmp")
        os.makedirs(folder)
        config = os.path.join(folder, "snmpd.conf")
        with open(config, "w") as f:
            f.write("rocommunity public\n" + "".join(
                f'override {oid} octet_str "{value}"\n' for oid, value in zip(SNMP_OIDS, values)))
        log = os.path.join(folder, "log")
        agent = subprocess.Popen(["ip", "netns", "exec", p.ns, "snmpd", "-f", "-C", "-c", config, "-Lf", log,
                                  "-p", os.path.join(folder, "pid"), f"udp:{p.address}:161"],
                                 env=dict(os.environ, SNMP_PERSISTENT_DIR=folder, MIBS=""),
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(agent)

        def started():
            return os.path.exists(log) and "NET-SNMP version" in open(log, errors="replace").read()
        _wait(f"snmpd of printer {p.index}", started, agent)

    def dns_sd_env(self):
        """The environment under which a client reaches the bed's Avahi."""
        return dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=f"unix:path={self.bus_socket}")

    def _start_avahi(self):
        folder = os.path.join(self.dir, "avahi")
        os.makedirs(folder)
        self.bus_socket = os.path.join(folder, "bus")
        bus_config, avahi_config = os.path.join(folder, "bus.conf"), os.path.join(folder, "avahi-daemon.conf")
        with open(bus_config, "w") as f:
            f.write(BUS_CONFIG.format(socket=self.bus_socket))
        with open(avahi_config, "w") as f:
            f.write(AVAHI_CONFIG)
        bus = subprocess.Popen(["dbus-daemon", "--nofork", f"--config-file={bus_config}"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(bus)
        _wait("the bed's dbus-daemon", lambda: os.path.exists(self.bus_socket), bus)
        with open(os.path.join(folder, "avahi-stderr.txt"), "ab") as log:
            avahi = subprocess.Popen(
                ["ip", "netns", "exec", self.tool_ns, "unshare", "-m", "sh", "-c",
                 "mount -t tmpfs none /run && mkdir /run/avahi-daemon && "
                 f"exec avahi-daemon --no-drop-root --no-chroot --no-rlimits -f {avahi_config}"],
                env=self.dns_sd_env(), stdout=log, stderr=log)
        self.processes.append(avahi)

        def answers():
            return subprocess.run(["dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.Avahi", "/",
                                   "org.freedesktop.Avahi.Server.GetVersionString"], env=self.dns_sd_env(),
                                  capture_output=True, timeout=30).returncode == 0
        _wait("the bed's avahi-daemon", answers, avahi)

    def _start_responder(self, p, services, host_address):
        log = os.path.join(p.dir, "mdns-log.jsonl")
        command = [sys.executable, RESPONDER, "--address", p.address, "--host", f"printer{p.index}", "--log", log,
                   "--host-address", host_address or p.address]
        for service in services:
            command += ["--service", service]
        responder = subprocess.Popen(["ip", "netns", "exec", p.ns] + command, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        self.processes.append(responder)
        _wait(f"the mDNS responder of printer {p.index}", lambda: os.path.exists(log), responder)

    def other_port_attempts(self):
        """{printer index: connection attempts to a port other than 631}
        for the printers that saw any."""
        seen = {}
        for p in self.printers:
            listed = subprocess.run(["ip", "netns", "exec", p.ns, "nft", "list", "table", "inet", "holmfind"],
                                    check=True, capture_output=True, text=True, timeout=60).stdout
            packets = int(re.search(r"counter packets (\d+)", listed).group(1))
            if packets:
                seen[p.index] = packets
        return seen

    def close(self):
        for process in self.processes[::-1]:
            if process.poll() is None:
                process.kill()
                process.wait(timeout=30)
        super().close()
