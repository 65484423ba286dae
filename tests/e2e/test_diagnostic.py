"""The diagnostic modes g, k and l against a simulated printer in a private network."""
import os
import unittest

import harness
import netbed
from harness import ScratchCase
from netbed import NetBed, PRINTER_IP, NO_HOST_IP

LOGIN_PROMPT_ECHO = " "  # the byte after '>' of the prompt, left for the capture
PROMPT = "holm-printer> "
LPSTAT_IDLE = "Job  State      Size\r\n---  ---------  ----\r\n-    idle       0\r\n"

_skip = netbed.available()


@unittest.skipIf(_skip, _skip or "")
class Diagnostic(ScratchCase):
    def setUp(self):
        super().setUp()
        self.bundle()

    def bed(self, *sim_args, **kw):
        return NetBed(self, sim_args, **kw)

    def test_alive(self):
        bed = self.bed()
        self.assertRun(bed.holm(self, ["-m", "g", "-n", PRINTER_IP]), 0, "\nDevice is alive\n")

    def test_alive_debug_one_probe(self):
        bed = self.bed()
        self.assertRun(bed.holm(self, ["-d", "-m", "g", "-n", PRINTER_IP]), 0, "p\nDevice is alive\ns\n")

    def test_alive_by_host_name(self):
        bed = self.bed()
        self.assertRun(bed.holm(self, ["-m", "g", "-n", "printer.test"]), 0, "\nDevice is alive\n")

    def test_dead(self):
        bed = self.bed()
        self.assertRun(bed.holm(self, ["-d", "-m", "g", "-n", NO_HOST_IP]), 1,
                       "ppp\nError: Destination is not alive\nf\n")

    def test_no_address(self):
        for mode in "gkl":
            with self.subTest(mode=mode):
                self.assertRun(self.holm(["-m", mode]), 1, "\nError: No IP address specified\n")

    def test_unknown_host(self):
        bed = self.bed()
        self.assertRun(bed.holm(self, ["-m", "g", "-n", "nowhere.test"]), 1, "\nError: Unknown IP address\n")
        self.assertRun(bed.holm(self, ["-m", "g", "-n", "255.255.255.255"]), 1, "\nError: Unknown IP address\n")

    def test_lpstat_capture(self):
        bed = self.bed()
        result = bed.holm(self, ["-m", "k", "-n", PRINTER_IP])
        self.assertRun(result, 0, LOGIN_PROMPT_ECHO + "lpstat\r\n" + LPSTAT_IDLE + PROMPT)
        # The program never reads the echo of "quit", so its close may reset
        # the connection before the printer has read the command: the quit
        # can be lost on the printer's side, and that is not ours to check.
        self.assertIn([e["command"] for e in bed.events("command")], (["lpstat"], ["lpstat", "quit"]))
        self.assertEqual([(e["login"], e["ok"]) for e in bed.events("login")], [("root", True)])

    def test_lpstat_debug(self):
        bed = self.bed()
        result = bed.holm(self, ["-d", "-m", "k", "-n", PRINTER_IP])
        self.assertRun(result, 0, "pttttttt" + LOGIN_PROMPT_ECHO + "lpstat\r\n" + LPSTAT_IDLE + PROMPT + "s\n")

    def test_given_credentials(self):
        bed = self.bed("--user", "admin", "--password", "secret")
        result = bed.holm(self, ["-m", "k", "-l", "admin", "-w", "secret", "-n", PRINTER_IP])
        self.assertRun(result, 0, LOGIN_PROMPT_ECHO + "lpstat\r\n" + LPSTAT_IDLE + PROMPT)
        self.assertEqual([(e["login"], e["ok"]) for e in bed.events("login")], [("admin", True)])

    def test_password_from_environment(self):
        bed = self.bed("--user", "admin", "--password", "secret")
        captured = LOGIN_PROMPT_ECHO + "lpstat\r\n" + LPSTAT_IDLE + PROMPT
        args = ["-m", "k", "-l", "admin", "-n", PRINTER_IP]
        self.assertRun(bed.holm(self, args, extra_env={"HOLM_PASSWORD": "secret"}), 0, captured)
        # -w wins over the environment.
        self.assertRun(bed.holm(self, ["-w", "secret"] + args, extra_env={"HOLM_PASSWORD": "wrong"}),
                       0, captured)
        # Set but empty: the empty password, as when it is not set.
        result = bed.holm(self, args, extra_env={"HOLM_PASSWORD": ""})
        self.assertEqual(result.status, 1, result)
        self.assertRegex(result.stdout, r"\Arecv failed: \d+\nError: Did not get telnet command prompt\n"
                                        r"\nError: Could not get lpstat\n\Z")
        self.assertEqual([(e["password"], e["ok"]) for e in bed.events("login")],
                         [("secret", True), ("secret", True), ("", False)])

    def test_refused_console(self):
        bed = self.bed("--telnet-port", "2323")  # nothing listens on port 23
        result = bed.holm(self, ["-d", "-m", "k", "-n", PRINTER_IP])
        refused = 10061 if harness.WINE else 111
        self.assertRun(result, 1, f"ptSocket error for network addr 050012c6: {refused}\n"
                                  "Error: Could not open telnet socket\n\nError: Could not get lpstat\nf\n")

    def test_lpstat_wrong_password(self):
        bed = self.bed()
        result = bed.holm(self, ["-m", "k", "-n", PRINTER_IP, "-w", "wrong"])
        self.assertEqual(result.status, 1, result)
        self.assertRegex(result.stdout, r"\Arecv failed: \d+\nError: Did not get telnet command prompt\n"
                                        r"\nError: Could not get lpstat\n\Z")
        self.assertNotEqual(result.stdout.split("\n")[0], "recv failed: 0")
        self.assertEqual(bed.events("login")[0]["password"], "wrong")

    def test_silent_console(self):
        bed = self.bed("--silent-console")
        result = bed.holm(self, ["-d", "-m", "k", "-n", PRINTER_IP])
        self.assertEqual(result.status, 1, result)
        self.assertRegex(result.stdout, r"\Apttrecv failed: \d+\nError: Did not get telnet login prompt\n"
                                        r"\nError: Could not get lpstat\nf\n\Z")

    def test_closed_mid_dialogue(self):
        bed = self.bed("--close-mid-dialogue")
        result = bed.holm(self, ["-m", "k", "-n", PRINTER_IP])
        self.assertRun(result, 1, "recv failed: 0\nError: Did not get telnet password prompt\n"
                                  "\nError: Could not get lpstat\n")

    def test_long_lpstat_stops_at_1000_bytes(self):
        bed = self.bed("--long-lpstat", "3000")
        result = bed.holm(self, ["-m", "k", "-n", PRINTER_IP])
        self.assertEqual(result.status, 0, result)
        self.assertEqual(len(result.stdout), 1000)
        self.assertTrue(result.stdout.startswith(LOGIN_PROMPT_ECHO + "lpstat\r\nJob  State"))

    def test_lpstat_in_download_mode(self):
        with open(self.path("state.json"), "w") as f:
            f.write('{"download": true}')
        bed = self.bed()
        result = bed.holm(self, ["-m", "k", "-n", PRINTER_IP])
        self.assertEqual(result.status, 0, result)
        self.assertIn("0    download   0", result.stdout)

    def test_running(self):
        bed = self.bed()
        self.assertRun(bed.holm(self, ["-m", "l", "-n", PRINTER_IP]), 0, "\nPrinter is running\n")
        # As for lpstat: the quit may be lost to the reset at our close.
        self.assertIn([e["command"] for e in bed.events("command")],
                      (["debug snmp logs"], ["debug snmp logs", "quit"]))

    def test_running_debug(self):
        bed = self.bed()
        self.assertRun(bed.holm(self, ["-d", "-m", "l", "-n", PRINTER_IP]), 0, "pttttttt\nPrinter is running\ns\n")

    def test_booting(self):
        bed = self.bed("--booting")
        self.assertRun(bed.holm(self, ["-d", "-m", "l", "-n", PRINTER_IP]), 1, "pttttttt\nPrinter is booting\nf\n")

    def test_done_beyond_first_1000_bytes_is_booting(self):
        bed = self.bed("--booting", "--done-after-bytes", "1200")
        self.assertRun(bed.holm(self, ["-m", "l", "-n", PRINTER_IP]), 1, "\nPrinter is booting\n")

    def test_done_within_first_1000_bytes_is_running(self):
        bed = self.bed("--booting", "--done-after-bytes", "500")
        self.assertRun(bed.holm(self, ["-m", "l", "-n", PRINTER_IP]), 0, "\nPrinter is running\n")

    @unittest.skipIf(harness.WINE, "ping sockets are a Linux matter")
    def test_alive_unprivileged_with_ping_socket(self):
        bed = self.bed(ping_sockets=True)
        os.chmod(self.dir, 0o755)
        self.assertRun(bed.holm(self, ["-d", "-m", "g", "-n", PRINTER_IP], user=65534), 0, "p\nDevice is alive\ns\n")

    @unittest.skipIf(harness.WINE, "ping sockets are a Linux matter")
    def test_dead_unprivileged_with_ping_socket(self):
        bed = self.bed(ping_sockets=True)
        os.chmod(self.dir, 0o755)
        self.assertRun(bed.holm(self, ["-d", "-m", "g", "-n", NO_HOST_IP], user=65534), 1,
                       "ppp\nError: Destination is not alive\nf\n")


if __name__ == "__main__":
    unittest.main()
