"""Command line, help screens, option errors and the payload path."""
import os
import shutil
import unittest

import harness
from harness import ScratchCase

SHORT_HELP = """\
Usage: cmd {-h} {-x} {-pb} {-n ip} {-l s} {-w s} {-a} {file}
  where:
    -h     = help
    -x     = extended help
    -a     = automatic mode
             (do not put printer in download mode,
              ignored for network downloads)
    -pb    = send data to LPT port
    -pbSharedPrinterName = send data to the shared printer
    -n ip  = network download, where ip = printer IP address
    -l s   = telnet login, defined by string 's' (default 'root')
    -w s   = telnet password, defined by string 's' (default '')
    file   = file to download (default is attached ZIP file)
If no options given, extracts attached ZIP file contents into
the current directory.
Warning: The network download may not work with older printer software.
Warning: The automatic mode may not work with older printer software.
HOLM Version 0.5
"""

_short = SHORT_HELP.splitlines()
EXTENDED_HELP = "\n".join(
    ["Usage: cmd {-h} {-x} {-d} {-pb} {-n ip} {-m v} {-l s} {-w s} {-a} {file}"]
    + _short[1:10]
    + [
        "    -m c   = network download mode, defined by 'c' (default = a):",
        "               a = ping, send download command, ping, download, ping",
        "               b = ping, send download command, ping, download",
        "               c = ping, send download command, ping",
        "               d = ping, send download command",
        "               e = ping, download, ping",
        "               f = ping, download",
        "               g = ping",
        "               h = send download command",
        "               i = download",
        "               j = ping, network print",
        "               k = ping, show lpstat",
        "               l = ping, check if running",
        "    -d     = debug, shows one character for each event:",
        "               p = ping",
        "               t = telnet event",
        "               w = wait",
        "               # = packet downloaded",
        "               s = success",
        "               f = failure",
    ]
    + _short[10:15]
    + ["", "Copyright (c) the HOLM developers. All rights reserved."]
) + "\n"


class HelpScreens(ScratchCase):
    def setUp(self):
        super().setUp()
        self.bundle()
        self.me = harness.shown_argv0(self.holm_name())

    def holm_name(self):
        return self.path("bundle.exe") if harness.WINE else "./bundle.exe"

    def test_help_requests_print_short_help_and_fail(self):
        for args in (["-h"], ["/h"], ["-ah"], ["-m", "z"], ["-m", "m"], ["-pz"], ["-pB"], ["-p", "x"]):
            with self.subTest(args=args):
                self.assertRun(self.holm(args), 1, SHORT_HELP)

    def test_extended_help(self):
        self.assertEqual(len(EXTENDED_HELP.splitlines()), 37)
        for args in (["-x"], ["/x"], ["-dx"]):
            with self.subTest(args=args):
                self.assertRun(self.holm(args), 1, EXTENDED_HELP)

    def test_option_errors_name_the_program_as_typed(self):
        cases = [
            (["-q"], "illegal option -- q"),
            (["-:"], "illegal option -- :"),
            (["-n"], "option requires an argument -- n"),
            (["-a", "/m"], "option requires an argument -- m"),
            (["-l"], "option requires an argument -- l"),
            (["-d", "-w"], "option requires an argument -- w"),
            (["/p"], "option requires an argument -- p"),
            (["/data/fw.bin"], "illegal option -- t"),
        ]
        for args, line in cases:
            with self.subTest(args=args):
                self.assertRun(self.holm(args), 1, SHORT_HELP, f"{self.me}: {line}\n")

    def test_help_ignores_debug(self):
        # Help leaves without the final event character.
        self.assertRun(self.holm(["-d", "-h"]), 1, SHORT_HELP)

    def test_printer_name_longer_than_63_characters_is_refused(self):
        for length in (64, 1000):
            with self.subTest(length=length):
                name = "P" * length
                result = self.holm(["-pb" + name])
                self.assertRun(result, 1, SHORT_HELP,
                               f"{self.me}: printer name longer than 63 characters -- {name}\n")

    def test_help_at_the_end_of_a_long_argument_list(self):
        # A Windows command line holds at most 32767 characters.
        count = 8000 if harness.WINE else 100000
        self.assertRun(self.holm(["-a"] * count + ["-h"]), 1, SHORT_HELP)


class OptionsThatReachThePayload(ScratchCase):
    """Runs that get past the options but name a payload that is not there."""

    def missing(self, name):
        return f"\nError: Could not find download data in {name}\n"

    def test_file_name_after_options(self):
        self.bundle()
        cases = [
            (["--", "-pb"], self.missing("-pb")),
            (["-"], self.missing("-")),
            (["-m", "A", "absent.bin"], self.missing("absent.bin")),
            (["-m", "\xc8", "absent.bin"], self.missing("absent.bin")),
            (["-pb" + "P" * 63, "absent.bin"], self.missing("absent.bin")),
            (["-dn10.0.0.5", "file.bin", "other.bin"], self.missing("file.bin") + "f\n"),
            (["--", "/data/fw.bin"], self.missing("/data/fw.bin")),
        ]
        for args, stdout in cases:
            with self.subTest(args=args):
                self.assertRun(self.holm(args), 1, stdout)

    def test_mode_bytes_above_127_count_as_small(self):
        self.bundle()
        # Wine hands the program its arguments in code page 1252, where these
        # two characters are the bytes 128 and 255.
        modes = ["\u20ac", "\xff"] if harness.WINE else [b"\x80", b"\xff"]
        for mode in modes:
            with self.subTest(mode=mode):
                self.assertRun(self.holm(["-m", mode, "absent.bin"]), 1, self.missing("absent.bin"))

    def test_long_arguments_and_long_argument_lists(self):
        self.bundle()
        count, length = (8000, 30000) if harness.WINE else (100000, 120000)
        cases = [
            ["-d"] * count + ["absent.bin"],
            ["-l", "L" * length, "absent.bin"],
            ["-w" + "W" * length, "absent.bin"],
        ]
        for args in cases:
            with self.subTest(args=args[:2]):
                debug = "f\n" if args[0] == "-d" else ""
                self.assertRun(self.holm(args), 1, self.missing("absent.bin") + debug)

    def test_empty_address(self):
        self.bundle()
        # The payload is looked at before the address, which is then refused
        # before anything is sent.
        self.assertRun(self.holm(["-n", "", "absent.bin"]), 1, self.missing("absent.bin"))
        for mode in ("g", "k", "l"):
            with self.subTest(mode=mode):
                self.assertRun(self.holm(["-d", "-n", "", "-m", mode]), 1, "\nError: Unknown IP address\nf\n")

    def test_empty_file_cannot_be_mapped(self):
        self.bundle()
        open(self.path("empty.bin"), "wb").close()
        self.assertRun(self.holm(["-d", "empty.bin"]), 1, self.missing("empty.bin") + "f\n")


    def test_payload_of_4_gib_or_more_is_refused(self):
        self.bundle()
        for size in (1 << 32, (1 << 32) + 100):
            with self.subTest(size=size):
                with open(self.path("big.bin"), "wb") as f:
                    f.truncate(size)  # sparse: costs no disk space
                self.assertRun(self.holm(["-d", "big.bin"]), 1,
                               "\nError: big.bin is 4 GiB or larger, too large for download data\nf\n")


class PayloadPath(ScratchCase):
    """The program reads its archive from argv[0], with ".exe" added unless
    it is there already."""

    def test_name_without_suffix_reads_name_exe(self):
        self.bundle(name="prog.exe")
        shutil.copy(self.path("prog.exe"), self.path("runner.exe"))
        self.assertRun(self.holm(["-d"], program="runner.exe", argv0="prog"), 0, "s\n")
        os.remove(self.path("prog.exe"))
        self.assertRun(self.holm(["-d"], program="runner.exe", argv0="prog"), 1,
                       "\nError: Could not find download data in prog.exe\nf\n")

    def test_suffix_forms(self):
        self.bundle(name="runner.exe")
        cases = [
            ("prog.Exe", "prog.Exe.exe"),
            ("prog.EXE", "prog.EXE"),
            (".exe", ".exe.exe"),
            ("a.exe", "a.exe"),
        ]
        for argv0, payload in cases:
            with self.subTest(argv0=argv0):
                self.assertRun(self.holm(["-d"], program="runner.exe", argv0=argv0), 1,
                               f"\nError: Could not find download data in {payload}\nf\n")

    def test_archive_without_entries_ends_quietly(self):
        self.bundle()
        self.assertRun(self.holm([]), 0)
        self.assertRun(self.holm(["-d"]), 0, "s\n")
        self.assertRun(self.holm(["-a"]), 0)

    def test_directory_entries_alone_are_no_entries(self):
        self.bundle([("dir/", b""), ("dir/sub/", b"")])
        self.assertRun(self.holm(["-d"]), 0, "s\n")

    def test_damaged_last_entry_is_refused(self):
        archive = harness.stored_zip([("a.bin", b"x" * 100)])
        tail = archive[:60]  # the header and part of the data only
        bundle = self.bundle(raw_tail=tail)
        offset = os.path.getsize(bundle) - len(tail)
        shown = harness.shown_argv0(bundle) if harness.WINE else "./bundle.exe"
        self.assertRun(self.holm(["-d"]), 1,
                       f"\nError: Archive entry at offset {offset} runs past the end of {shown}\nf\n")


if __name__ == "__main__":
    unittest.main()
