"""A fleet bed for holm-find: the simulated printers of fleetbed, each
namespace counting every TCP connection attempt to a port other than IPP's
(631), so that a test sees that discovery never reached the print port
(9100), the console (23) or any other; printers given more than one
address; and printers with an SNMP agent.

The SNMP agent of a printer is Debian's snmpd, one per namespace, on UDP
port 161 of the printer's address, community "public", serving sysDescr,
sysName, hrDeviceDescr and prtGeneralSerialNumber through "override"
lines; its state and log stay in the printer's folder. It is ended with the
bed, before the namespaces go.

The counter is an nftables rule in each printer namespace, on the input
hook, ahead of everything: a SYN to any port but 631 counts, whether or not
anything listens there. The namespaces go with the bed, rules and all.
"""
import os
import re
import subprocess
import time

import fleetbed

# sysDescr, sysName, hrDeviceDescr, prtGeneralSerialNumber
SNMP_OIDS = ("1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.1.5.0", "1.3.6.1.2.1.25.3.2.1.3.1", "1.3.6.1.2.1.43.5.1.1.17.1")

COUNTER_RULES = """table inet holmfind {
 chain input {
  type filter hook input priority -300;
  tcp dport != 631 tcp flags & (syn | ack) == syn counter
 }
}
"""


class FindBed(fleetbed.FleetBed):
    def __init__(self, case, specs, more_addresses=None, snmp=None):
        """more_addresses: {printer index: [address, ...]} added beside its
        own, on the same link; snmp: {printer index: (sysDescr, sysName,
        hrDeviceDescr, prtGeneralSerialNumber)} for the printers that have
        an agent."""
        self.agents = []
        super().__init__(case, specs)
        for p in self.printers:
            subprocess.run(["ip", "netns", "exec", p.ns, "nft", "-f", "-"], input=COUNTER_RULES, text=True,
                           check=True, capture_output=True, timeout=60)
        for i, addresses in (more_addresses or {}).items():
            for a in addresses:
                subprocess.run(["ip", "-n", self.printers[i].ns, "addr", "add", f"{a}/16", "dev", "eth0"],
                               check=True, capture_output=True, timeout=60)
        for i, values in (snmp or {}).items():
            self.agents.append(self._start_agent(self.printers[i], values))
        for p, (_, log) in zip([self.printers[i] for i in (snmp or {})], self.agents):
            self._wait_agent(p, log)

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
        return agent, log

    def _wait_agent(self, p, log):
        deadline = time.monotonic() + 60
        while True:
            try:
                with open(log) as f:
                    if "NET-SNMP version" in f.read():
                        return
            except FileNotFoundError:
                pass
            if time.monotonic() > deadline:
                raise RuntimeError(f"snmpd of printer {p.index} did not start")
            time.sleep(0.05)

    def close(self):
        for agent, _ in self.agents:
            if agent.poll() is None:
                agent.kill()
                agent.wait(timeout=30)
        super().close()

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
