"""A fleet bed for holm-find: the simulated printers of fleetbed, each
namespace counting every TCP connection attempt to a port other than IPP's
(631), so that a test sees that discovery never reached the print port
(9100), the console (23) or any other; and printers given more than one
address.

The counter is an nftables rule in each printer namespace, on the input
hook, ahead of everything: a SYN to any port but 631 counts, whether or not
anything listens there. The namespaces go with the bed, rules and all.
"""
import re
import subprocess

import fleetbed

COUNTER_RULES = """table inet holmfind {
 chain input {
  type filter hook input priority -300;
  tcp dport != 631 tcp flags & (syn | ack) == syn counter
 }
}
"""


class FindBed(fleetbed.FleetBed):
    def __init__(self, case, specs, more_addresses=None):
        """more_addresses: {printer index: [address, ...]} added beside its
        own, on the same link."""
        super().__init__(case, specs)
        for p in self.printers:
            subprocess.run(["ip", "netns", "exec", p.ns, "nft", "-f", "-"], input=COUNTER_RULES, text=True,
                           check=True, capture_output=True, timeout=60)
        for i, addresses in (more_addresses or {}).items():
            for a in addresses:
                subprocess.run(["ip", "-n", self.printers[i].ns, "addr", "add", f"{a}/16", "dev", "eth0"],
                               check=True, capture_output=True, timeout=60)

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
