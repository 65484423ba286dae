"""The Ansible role of contrib/ansible against ten simulated printers, two of
them faulty: one never answers, one has another password; and, with
holm_firmware, against four more: one current, one that restarts on its old
version, one without IPP, one that takes the new version. The play runs as
a site would run it, with the shipped ansible.cfg, playbook, group
variables and vault; only the inventory names the bed's printers."""
import json
import os
import re
import shutil
import subprocess
import unittest

import harness
import fleetbed
from downloads import FIRMWARE, Scratch
from fleet import PACK_DIR, bundle_runs, holding, make_bundle, run_watched
from fleetbed import Printer, address

HERE = os.path.dirname(os.path.abspath(__file__))
CONTRIB = os.path.join(HERE, "..", "..", "contrib", "ansible")
VAULT_PASSWORD = "holm-example"           # the example vault's, as the README says
PASSWORD = "example-printer-password"     # what the example vault holds
OTHER_PASSWORD = "not-the-vaults-password"
NEVER_ANSWERS, OTHER = 3, 6
COUNT = 10
# Printers COUNT and on, for holm_firmware=2.0, by their host names.
OLD, NEW = "1.0", "2.0"
FIRMWARE_HOSTS = {"current": ["--firmware", NEW], "stays-old": ["--firmware", OLD],
                  "no-ipp": ["--ipp-port", "0"], "takes-it": ["--firmware", OLD, "--installs", NEW]}
# Printers after those, for two bundles, one made for "HOLM Laser 5*" and one
# for "HOLM Jet *", by their host names.
MODEL_HOSTS = {"fits": ["--model", "HOLM Laser 5100"], "other": ["--model", "HOLM Inkjet 200"], "no-model": [],
               "jet": ["--model", "HOLM Jet 30"]}
RECAP = re.compile(r"^(\S+)\s+: ok=\d+\s+changed=(\d+)\s+unreachable=\d+\s+failed=(\d+)", re.M)
WOULD_RUN = re.compile(r'"msg": "would run: \S+ -n (\S+) -l root"')
FATAL = re.compile(r"^fatal: \[(\S+)\]: FAILED! => (\{.*?^\})$", re.M | re.S)
# Every packet from the bed's tool namespace that reaches a printer.
COUNTER = ("table inet holmseen {\n chain input {\n type filter hook input priority -10;\n"
           " ip saddr 198.18.0.0/16 counter\n }\n}\n")

_skip = (fleetbed.available() or ("the role runs Linux bundles" if harness.WINE else None)
         or (None if shutil.which("ansible-playbook") else "needs ansible-playbook (ansible-core)"))


@unittest.skipIf(_skip, _skip or "")
class AnsiblePlay(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = scratch = Scratch()
        cls.addClassCleanup(scratch.close)
        cls.play_dir = scratch.path("ansible")
        shutil.copytree(CONTRIB, cls.play_dir)
        with open(os.path.join(cls.play_dir, "inventory.yml"), "w") as f:
            f.write("printers:\n  hosts:\n" + "".join(
                f"    p{i}:\n      ansible_host: {address(i)}\n" for i in range(COUNT)))
        cls.vault_file = scratch.path("vault-password")
        with open(cls.vault_file, "w") as f:
            f.write(VAULT_PASSWORD + "\n")
        cls.bundle = make_bundle(scratch.path("fw-update.exe"), FIRMWARE[:1])
        cls.image = FIRMWARE[0][1]
        cls.env = dict(os.environ, ANSIBLE_CONFIG=os.path.join(cls.play_dir, "ansible.cfg"),
                       ANSIBLE_HOME=scratch.path("ansible-home"),
                       ANSIBLE_LOCAL_TEMP=scratch.path("ansible-tmp"), ANSIBLE_NOCOLOR="1",
                       PATH=PACK_DIR + os.pathsep + os.environ["PATH"])
        specs = [Printer(["--password", PASSWORD]) for _ in range(COUNT)]
        specs[NEVER_ANSWERS] = Printer(["--password", PASSWORD], unreachable=True)
        specs[OTHER] = Printer(["--password", OTHER_PASSWORD])
        specs += [Printer(["--password", PASSWORD] + args) for args in FIRMWARE_HOSTS.values()]
        specs += [Printer(["--password", PASSWORD] + args) for args in MODEL_HOSTS.values()]
        cls.bed = fleetbed.FleetBed(scratch, specs)
        for p in cls.bed.printers:
            subprocess.run(["ip", "netns", "exec", p.ns, "nft", "-f", "-"], input=COUNTER, text=True,
                           check=True, capture_output=True, timeout=60)

    def play(self, *args):
        command = ["ansible-playbook", "deliver.yml", "--vault-password-file", self.vault_file,
                   "-e", f"holm_bundle={self.bundle}"] + list(args)
        return run_watched(self.bed, command, self.play_dir, self.env, timeout=600, watch=True)

    def packets(self):
        seen = []
        for p in self.bed.printers[:COUNT]:
            listed = subprocess.run(["ip", "netns", "exec", p.ns, "nft", "-j", "list", "table", "inet",
                                     "holmseen"], capture_output=True, check=True, timeout=60).stdout
            rules = [e["rule"] for e in json.loads(listed)["nftables"] if "rule" in e]
            seen.append(rules[0]["expr"][-1]["counter"]["packets"])
        return seen

    def assertPlayed(self, run, failed):
        """The recap lists every host of the run, failed exactly where named."""
        self.assertEqual({host: int(n) > 0 for host, _, n in RECAP.findall(run.stdout)},
                         {host: host in failed for host in self.hosts_of(run)}, run.stdout)
        self.assertEqual(holding([PASSWORD, VAULT_PASSWORD], run.command_lines, {}), [])

    def hosts_of(self, run):
        return [host for host, _, _ in RECAP.findall(run.stdout)]

    def messages(self, run):
        return {host: json.loads(result)["msg"] for host, result in FATAL.findall(run.stdout)}

    def test_check_then_play_then_retry_the_failed(self):
        # Check mode: what would run, and not a packet to any printer.
        run = self.play("--check")
        self.assertEqual(run.status, 0, run)
        for i in range(COUNT):
            self.assertIn(f'"msg": "would run: {self.bundle} -n {address(i)} -l root"', run.stdout)
        self.assertEqual(self.packets(), [0] * COUNT)
        self.assertEqual(bundle_runs(run.command_lines, self.bundle), set())

        # The play: eight printers get the image once, the two faulty ones
        # fail with the program's own words.
        run = self.play()
        self.assertEqual(run.status, 2, run)
        self.assertEqual(len(self.hosts_of(run)), COUNT, run.stdout)
        self.assertPlayed(run, {f"p{NEVER_ANSWERS}", f"p{OTHER}"})
        self.assertEqual(self.messages(run), {f"p{NEVER_ANSWERS}": "Destination not alive",
                                    f"p{OTHER}": "Could not enter download mode."})
        for i, printer in enumerate(self.bed.printers[:COUNT]):
            self.assertEqual(printer.raw_jobs(), [] if i in (NEVER_ANSWERS, OTHER) else [self.image], i)
        with open(os.path.join(self.play_dir, "deliver.retry")) as f:
            self.assertEqual(f.read(), f"p{NEVER_ANSWERS}\np{OTHER}\n")

        # Mended, the two are retried alone and get the image.
        self.bed.set_unreachable(NEVER_ANSWERS, False)
        self.bed.restart(OTHER, ["--password", PASSWORD])
        before, events = self.packets(), [p.events() for p in self.bed.printers[:COUNT]]
        run = self.play("--limit", "@deliver.retry")
        self.assertEqual(run.status, 0, run)
        self.assertEqual(sorted(self.hosts_of(run)), [f"p{NEVER_ANSWERS}", f"p{OTHER}"])
        self.assertPlayed(run, set())
        after = self.packets()
        for i, printer in enumerate(self.bed.printers[:COUNT]):
            if i in (NEVER_ANSWERS, OTHER):
                self.assertEqual(printer.raw_jobs(), [self.image], i)
            else:
                self.assertEqual((after[i], printer.events()), (before[i], events[i]), i)

    def test_refused_bundle_and_failed_canary_send_nothing_to_the_rest(self):
        damaged = self.scratch.path("damaged.exe")
        with open(self.bundle, "rb") as f:
            data = bytearray(f.read())
        data[data.find(self.image) + 5000] ^= 0xFF
        with open(damaged, "wb") as f:
            f.write(data)
        os.chmod(damaged, 0o755)
        key, secret = self.scratch.path("other.pub"), self.scratch.path("other.key")
        subprocess.run(["minisign", "-G", "-W", "-f", "-p", key, "-s", secret], check=True, capture_output=True,
                       timeout=60)
        before, jobs = self.packets(), [p.raw_jobs() for p in self.bed.printers]
        for name, args, words in (("damaged", ["-e", f"holm_bundle={damaged}"], f"does not find {damaged} sound"),
                                  ("unsigned", ["-e", f"holm_key={key}"], "No such file or directory")):
            with self.subTest(name):
                run = self.play(*args)
                self.assertEqual(run.status, 2, run)
                self.assertIn(words, run.stdout)
                self.assertEqual(bundle_runs(run.command_lines, self.bundle), set())
        self.assertEqual(self.packets(), before)
        # Both canaries fail on a wrong password: the others are never contacted.
        run = self.play("-e", "holm_password=wrong")
        self.assertEqual(run.status, 2, run)
        self.assertEqual(sorted(self.hosts_of(run)), ["p0", "p1"])
        after = self.packets()
        self.assertEqual([after[i] > before[i] for i in range(COUNT)], [True, True] + [False] * (COUNT - 2))
        self.assertEqual([p.raw_jobs() for p in self.bed.printers], jobs)
        # Ansible names only the printers that ran and failed: the play is run again whole.
        with open(os.path.join(self.play_dir, "deliver.retry")) as f:
            self.assertEqual(f.read(), "p0\np1\n")

    def test_printers_of_other_models_left_alone(self):
        first = COUNT + len(FIRMWARE_HOSTS)
        inventory = os.path.join(self.play_dir, "models.yml")
        with open(inventory, "w") as f:
            f.write("printers:\n  hosts:\n" + "".join(f"    {host}:\n      ansible_host: {address(first + k)}\n"
                                                     for k, host in enumerate(MODEL_HOSTS)))
        printers = dict(zip(MODEL_HOSTS, self.bed.printers[first:]))
        bundle = make_bundle(self.scratch.path("for-laser-5.exe"), FIRMWARE[:1], ["--for", "HOLM Laser 5*"])
        jet_image = self.image + b"for the jets"
        jet = make_bundle(self.scratch.path("for-jet.exe"), [(FIRMWARE[0][0], jet_image)], ["--for", "HOLM Jet *"])
        before = {host: len(p.events()) for host, p in printers.items()}
        # The bundles in order, as a site names them in its variables.
        run = self.play("-i", inventory, "-e", json.dumps({"holm_bundles": [bundle, jet]}),
                        "-e", "holm_max_fail_percentage=100")
        self.assertEqual(run.status, 2, run)
        self.assertPlayed(run, {"no-model"})
        self.assertEqual({host: int(n) for host, n, _ in RECAP.findall(run.stdout)},
                         {"fits": 1, "other": 0, "no-model": 0, "jet": 1})
        self.assertEqual(self.messages(run),
                         {"no-model": "no printer model before the delivery: no printer-make-and-model"})
        self.assertIn("model HOLM Inkjet 200 is not one any bundle is for (for-laser-5.exe: HOLM Laser 5*; "
                      "for-jet.exe: HOLM Jet *)", run.stdout)
        self.assertIn('"msg": "to deliver, gets for-jet.exe"', run.stdout)
        self.assertEqual({host: [e["event"] for e in p.events()[before[host]:] if e["event"] != "ipp"] != []
                          for host, p in printers.items()},
                         {"fits": True, "other": False, "no-model": False, "jet": True})
        self.assertEqual({host: p.raw_jobs() for host, p in printers.items()},
                         {"fits": [self.image], "other": [], "no-model": [], "jet": [jet_image]})

    def test_firmware_current_printers_left_alone(self):
        inventory = os.path.join(self.play_dir, "firmware.yml")
        with open(inventory, "w") as f:
            f.write("printers:\n  hosts:\n" + "".join(f"    {host}:\n      ansible_host: {address(COUNT + k)}\n"
                                                     for k, host in enumerate(FIRMWARE_HOSTS)))
        printers = dict(zip(FIRMWARE_HOSTS, self.bed.printers[COUNT:]))
        no_ipp = (f'no firmware version before the delivery: no IPP answer (Unable to connect to '
                  f'"{printers["no-ipp"].address}" on port 631 - ')

        def play(*args):
            # Without the example's canary stop: each kind of printer is seen to the end.
            return self.play("-i", inventory, "-e", f"holm_firmware={NEW}", "-e", "holm_max_fail_percentage=100",
                             *args)

        def contacts(before):
            """The printers that saw anything but IPP requests since before."""
            return {host for host, p in printers.items() if any(e["event"] != "ipp" for e in p.events()[before[host]:])}

        # Check mode lists the two to deliver; only IPP reaches the printers.
        before = {host: len(p.events()) for host, p in printers.items()}
        run = play("--check")
        self.assertEqual(run.status, 2, run)
        self.assertEqual(sorted(WOULD_RUN.findall(run.stdout)), [printers[h].address for h in ("stays-old", "takes-it")])
        self.assertPlayed(run, {"no-ipp"})
        self.assertRegex(self.messages(run)["no-ipp"], "^" + re.escape(no_ipp))
        self.assertEqual(contacts(before), set())
        self.assertEqual(bundle_runs(run.command_lines, self.bundle), set())

        # The play: the current printer untouched, the one that came back on
        # its old version failed.
        before = {host: len(p.events()) for host, p in printers.items()}
        run = play()
        self.assertEqual(run.status, 2, run)
        self.assertPlayed(run, {"stays-old", "no-ipp"})
        self.assertEqual({host: int(n) for host, n, _ in RECAP.findall(run.stdout)},
                         {"current": 0, "stays-old": 1, "no-ipp": 0, "takes-it": 1})
        messages = self.messages(run)
        self.assertEqual(messages.pop("stays-old"), f"still {OLD} after the delivery")
        self.assertRegex(messages.pop("no-ipp"), "^" + re.escape(no_ipp))
        self.assertEqual(contacts(before), {"stays-old", "takes-it"})
        self.assertEqual({host: p.raw_jobs() for host, p in printers.items()},
                         {"current": [], "stays-old": [self.image], "no-ipp": [], "takes-it": [self.image]})

        # Mended, the failed two are retried alone, and get it.
        self.bed.restart(COUNT + 1, ["--password", PASSWORD, "--firmware", OLD, "--installs", NEW])
        self.bed.restart(COUNT + 2, ["--password", PASSWORD, "--firmware", OLD, "--installs", NEW])
        run = play("--limit", "@deliver.retry")
        self.assertEqual(run.status, 0, run)
        self.assertEqual(sorted(self.hosts_of(run)), ["no-ipp", "stays-old"])
        self.assertEqual(printers["no-ipp"].raw_jobs(), [self.image])

        # A second run changes nothing and contacts no console or print port.
        before = {host: len(p.events()) for host, p in printers.items()}
        run = play()
        self.assertEqual(run.status, 0, run)
        self.assertPlayed(run, set())
        self.assertEqual({host: int(n) for host, n, _ in RECAP.findall(run.stdout)}, dict.fromkeys(printers, 0))
        self.assertEqual(contacts(before), set())
        self.assertEqual(bundle_runs(run.command_lines, self.bundle), set())


if __name__ == "__main__":
    unittest.main()
