"""The manual pages: clean for man, and saying what the programs' own help
screens say.

Environment (set by CTest):
  HOLM_BIN   the built holm
  HOLM_PACK  the built holm-pack
  HOLM_FLEET the built holm-fleet
  HOLM_FIND  the built holm-find
  HOLM_MAN   the folder of the manual page sources
"""
import os
import re
import shlex
import subprocess
import unittest

BIN = os.environ.get("HOLM_BIN", "")
PACK = os.environ.get("HOLM_PACK", "")
MAN = os.environ.get("HOLM_MAN", "")
FLEET = os.environ.get("HOLM_FLEET", "")
FIND = os.environ.get("HOLM_FIND", "")
PAGES = ("holm.1", "holm-pack.1", "holm-fleet.1", "holm-find.1")


def man_warnings(page):
    """What man reports on stderr while it formats page."""
    done = subprocess.run(["man", "--warnings", "-l", page], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, MANWIDTH="80", MANPAGER="cat", PAGER="cat"))
    return done.returncode, done.stderr


def rendered(page):
    """The page as plain ASCII text with its whitespace collapsed; wide
    enough that no word is hyphenated at a line end."""
    done = subprocess.run(["man", "-E", "ascii", "-l", page], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, MANWIDTH="1000", MANPAGER="cat", PAGER="cat"), check=True)
    return " ".join(done.stdout.split())


def help_items(text, item):
    """(key, first clause of its description) for every item line of a help
    screen; continuation lines are joined to the description before them."""
    items = []
    for line in text.splitlines():
        found = item.match(line)
        if found:
            items.append([found.group("key"), found.group("text")])
        elif items and line.startswith("      ") and line.strip():
            items[-1][1] += " " + line.strip()
    return [(key, re.split(r"[;:(]", text)[0].strip().rstrip(",")) for key, text in items]


def option_names(source, section):
    """The option names that the tagged paragraphs of one section of a
    manual page's source begin with (.B, .BI or .BR, whose arguments run
    together when set)."""
    body = source.split(f".SH {section}\n", 1)[1].split("\n.SH ", 1)[0]
    names = set()
    for args in re.findall(r"^\.TP\n\.B[IR]? (.*)$", body, re.M):
        set_text = "".join(shlex.split(args.replace("\\-", "-")))
        found = re.match(r"-(\w+)", set_text)
        if found:
            names.add(found.group(1))
    return names


class Manuals(unittest.TestCase):
    def setUp(self):
        for name, value in (("HOLM_BIN", BIN), ("HOLM_PACK", PACK), ("HOLM_FLEET", FLEET), ("HOLM_FIND", FIND),
                            ("HOLM_MAN", MAN)):
            if not value or not os.path.exists(value):
                self.fail(f"{name} does not name what it should: {value!r}")

    def page(self, name):
        return os.path.join(MAN, name)

    def program_help(self, command):
        return subprocess.run(command, capture_output=True, text=True, timeout=60).stdout

    def assertDescribes(self, text, key, description):
        # The key as it stands, perhaps with its argument ("[NAME=]VERSION");
        # the description may begin a sentence.
        pattern = r"(?<![\w-])(?-i:" + re.escape(key) + r")\W{1,6}(?:\w+\W{1,4}){0,2}" + re.escape(description)
        self.assertRegex(text, re.compile(pattern, re.I), f"{key} = {description}")

    def test_pages_format_without_warnings(self):
        for name in PAGES:
            with self.subTest(page=name):
                self.assertEqual(man_warnings(self.page(name)), (0, ""))

    def test_holm_page_describes_every_help_item(self):
        text = rendered(self.page("holm.1"))
        screen = self.program_help([BIN, "-x"])
        # Options ("    -n ip  = ..."), mode letters and event characters
        # ("               a = ...").
        items = help_items(screen, re.compile(r"^ +(?P<key>-\w+|file|\S)(?: \w+)? += (?P<text>.*)$"))
        self.assertGreater(len(items), 25)
        for key, description in items:
            with self.subTest(key=key):
                self.assertDescribes(text, key, description)

    def test_holm_page_names_no_option_the_program_lacks(self):
        with open(self.page("holm.1")) as f:
            named = option_names(f.read(), "OPTIONS")
        shown = set(re.findall(r"^ {4}-(\w+)", self.program_help([BIN, "-x"]), re.M))
        self.assertEqual(named, shown)

    def test_holm_pack_page_describes_every_help_item(self):
        text = rendered(self.page("holm-pack.1"))
        screen = self.program_help([PACK, "--help"])
        items = help_items(screen, re.compile(r"^  (?P<key>--?[\w-]+)(?:, --\w+| [A-Z][\w.]*)? +(?P<text>\S.*)$"))
        self.assertEqual([key for key, _ in items], ["-o", "-s", "-C", "--for", "--firmware", "--sign", "--sign-key",
                                                     "--sign-pkcs12", "--sign-password-file", "--sign-name",
                                                     "--sign-url", "--timestamp", "-t", "--ca", "-h"])
        for key, description in items:
            with self.subTest(key=key):
                self.assertDescribes(text, key, description)
        with open(self.page("holm-pack.1")) as f:
            for name in option_names(f.read(), "OPTIONS"):
                self.assertIn(f"-{name}", screen)

    def test_holm_fleet_page_describes_every_help_item(self):
        text = rendered(self.page("holm-fleet.1"))
        screen = self.program_help([FLEET, "--help"])
        items = help_items(screen, re.compile(r"^  (?P<key>--?[\w-]+)(?:, --\w+| [][=A-Za-z.]+)? +(?P<text>\S.*)$"))
        self.assertEqual([key for key, _ in items],
                         ["-j", "-m", "-d", "-o", "--firmware", "--plan", "--canary", "--waves", "--pause",
                          "--window", "--max-failed", "--timeout", "--key", "--ca", "--ignore-model", "--retry-failed", "--read",
                          "-h"])
        for key, description in items:
            with self.subTest(key=key):
                self.assertDescribes(text, key, description)
        with open(self.page("holm-fleet.1")) as f:
            for name in option_names(f.read(), "OPTIONS"):
                self.assertIn(f"-{name}", screen)

    def test_holm_find_page_describes_every_help_item(self):
        text = rendered(self.page("holm-find.1"))
        screen = self.program_help([FIND, "--help"])
        items = help_items(screen, re.compile(r"^  (?P<key>--?[\w-]+)(?:, --\w+| [][A-Z]+)? +(?P<text>\S.*)$"))
        self.assertEqual([key for key, _ in items],
                         ["--range", "--large", "--dns-sd", "--wait", "--snmp", "--tsv", "--json", "--for", "--bundle",
                          "-h"])
        for key, description in items:
            with self.subTest(key=key):
                self.assertDescribes(text, key, description)
        with open(self.page("holm-find.1")) as f:
            for name in option_names(f.read(), "OPTIONS"):
                self.assertIn(f"-{name}", screen)

    def test_pages_carry_the_program_version(self):
        version = re.search(r"Version (\S+)", self.program_help([BIN, "-h"])).group(1)
        for name in PAGES:
            with self.subTest(page=name), open(self.page(name)) as f:
                header = re.search(r'^\.TH .*"HOLM (\S+)"', f.read(), re.M)
                self.assertIsNotNone(header)
                self.assertEqual(header.group(1), version)


if __name__ == "__main__":
    unittest.main()
