"""The fleet report page (src/fleet/report.html), filled as holm-fleet fills
it, in headless Chromium: what it shows agrees with its data, text from
printers stays text, it asks for nothing beyond its own file, and it
reloads itself only while the run goes."""
import collections
import importlib.util
import os
import shutil
import tempfile
import time
import unittest

import browser
import harness

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
_spec = importlib.util.spec_from_file_location("report_sample", os.path.join(ROOT, "tools", "report-sample.py"))
sample = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(sample)

ADDRESS, RESULT, MESSAGE, BEFORE, MODEL, OUTPUT = 0, 1, 2, 3, 9, 10
RELOAD_SECONDS = 5

needs_browser = unittest.skipUnless(browser.CHROMIUM, "chromium is not installed (apt-get install -y chromium)")
# The page does not depend on the program under test: one native run checks it.
native_only = unittest.skipIf(harness.WINE, "the report page is checked in the native run")


def set_message(data, i, result, text):
    if text not in data["messages"]:
        data["messages"].append(text)
    data["printers"][i][RESULT] = result
    data["printers"][i][MESSAGE] = data["messages"].index(text)


class PageCase(unittest.TestCase):
    """A report written from data into a scratch folder and opened once for the class."""

    @classmethod
    def open(cls, data):
        top = tempfile.mkdtemp(prefix="holm-report-")
        cls.addClassCleanup(shutil.rmtree, top, ignore_errors=True)
        cls.data = data
        page = browser.Page(sample.write_report(os.path.join(top, "report.html"), data))
        cls.addClassCleanup(page.close)
        return page.__enter__()

    def assertOnlyItsFileAndNoErrors(self, page):
        self.assertEqual(page.requests(), [page.url])
        self.assertEqual(page.errors(), [])


@native_only
class Template(unittest.TestCase):
    def test_marker_line_stands_once_on_its_own_line(self):
        lines = sample.read_template().splitlines()
        self.assertEqual([line.strip() for line in lines].count(sample.MARKER_LINE), 1)
        self.assertEqual(sample.read_template().count(sample.PLACEHOLDER), 1)

    def test_security_policy_names_the_script_as_it_stands(self):
        # A stale hash blocks the page's own script: run tools/report-sample.py --fix-csp.
        template = sample.read_template()
        self.assertIn("script-src " + sample.script_hash(template), template)


@native_only
@needs_browser
class EndedRun(PageCase):
    @classmethod
    def setUpClass(cls):
        data = sample.make_data(printers=120, failed=15, canary=2, waves=3, stop="brake",
                                firmware="main=2.0", models=True, seed=7)
        # One cause on four neighbours: one row, one range of addresses.
        for i in range(10, 14):
            set_message(data, i, "failed", "Cable cut")
        cls.page = cls.open(data)

    def test_counts_shown_agree_with_the_data(self):
        expected = collections.Counter(p[RESULT] for p in self.data["printers"])
        shown = self.page.counts()
        self.assertEqual(shown.pop("total"), len(self.data["printers"]))
        self.assertEqual({r: c for r, c in shown.items() if c}, dict(expected))
        self.assertGreaterEqual(set(shown), {"ok", "current", "incompatible", "failed", "not started"})

    def test_every_printer_shown_once_in_list_order_with_its_result(self):
        self.assertEqual(self.page.printers(), [(p[ADDRESS], p[RESULT]) for p in self.data["printers"]])

    def test_failures_are_one_row_per_cause(self):
        rows = self.page.evaluate("""[...document.querySelectorAll('#failure-table tbody tr')].map(r =>
            [r.dataset.result, Number(r.cells[1].textContent), r.cells[2].textContent, r.cells[3].textContent])""")
        causes = collections.Counter()
        for p in self.data["printers"]:
            if p[RESULT] in ("failed", "incompatible"):
                message = self.data["messages"][p[MESSAGE]].replace(p[ADDRESS], "\u27e8address\u27e9")
                causes[p[RESULT], message] += 1
        self.assertEqual(collections.Counter({(r, m): c for r, c, m, _ in rows}), causes)
        self.assertIn(["failed", 4, "Cable cut", "198.18.1.11–14"], rows)

    def test_keyboard_chooses_a_printer(self):
        self.page.evaluate("document.getElementById('cells').focus()")
        for key in ("ArrowRight", "ArrowRight", "Enter", "ArrowDown"):
            self.page.press(key)
        # Enter kept the third printer; the arrow down then points at the one below it.
        self.assertEqual(self.page.evaluate("location.hash"), "#printer=3")
        shown = self.page.detail()
        self.assertEqual((shown["i"], shown["address"]), ("27", self.data["printers"][27][ADDRESS]))

    def test_asks_for_nothing_but_its_own_file(self):
        self.assertOnlyItsFileAndNoErrors(self.page)


@native_only
@needs_browser
class HostileText(PageCase):
    """Every string from printers or from the command line tries to become markup."""

    @classmethod
    def setUpClass(cls):
        data = sample.make_data(printers=60, failed=40, hostile=True, canary=2, waves=2, stop="brake",
                                firmware="2.0", models=True, seed=3)
        for k, text in enumerate(sample.HOSTILE):
            set_message(data, 3 * k, "failed", text)
        data["run"]["waves"][0]["label"] = sample.HOSTILE[1]
        cls.victim = 3 * len(sample.HOSTILE)
        p = data["printers"][cls.victim]
        p[ADDRESS], p[MODEL], p[BEFORE], p[OUTPUT] = sample.HOSTILE[1], sample.HOSTILE[4], sample.HOSTILE[0], sample.HOSTILE[2]
        cls.page = cls.open(data)
        cls.page.printers()  # points at every cell once

    def test_nothing_injected_runs_or_becomes_an_element(self):
        page = self.page
        self.assertIsNone(page.evaluate("window.holmPwned"))
        self.assertEqual(page.evaluate("document.querySelectorAll('img, svg, iframe, object, embed').length"), 0)
        self.assertEqual(page.evaluate("document.scripts.length"), 2)
        self.assertFalse(page.evaluate("""[...document.querySelectorAll('*')].some(e =>
            [...e.attributes].some(a => a.name.startsWith('on')))"""))
        self.assertOnlyItsFileAndNoErrors(page)

    def test_text_is_shown_as_written(self):
        page, run = self.page, self.data["run"]
        messages = page.evaluate("[...document.querySelectorAll('#failure-table td.message')].map(c => c.textContent)")
        for text in sample.HOSTILE:
            self.assertIn(text, messages)
        self.assertEqual(page.evaluate("document.getElementById('run-bundle').textContent"), run["bundle"])
        facts = page.evaluate("[...document.querySelectorAll('#run-what dd, #run-when dd')].map(d => d.textContent)")
        for value in (run["key"], run["options"], run["control"]):
            self.assertIn(value, facts)
        self.assertIn(sample.HOSTILE[1], page.evaluate("document.getElementById('wave-table').textContent"))
        page.evaluate(f"document.querySelector('.cell[data-i=\"{self.victim}\"]').click()")
        shown = page.detail()
        self.assertEqual((shown["address"], shown["model"], shown["before"], shown["output"]),
                         (sample.HOSTILE[1], sample.HOSTILE[4], sample.HOSTILE[0], sample.HOSTILE[2]))


@native_only
@needs_browser
class Reload(unittest.TestCase):
    def test_a_running_report_reloads_and_an_ended_one_does_not(self):
        top = tempfile.mkdtemp(prefix="holm-report-")
        self.addCleanup(shutil.rmtree, top, ignore_errors=True)
        running = sample.write_report(os.path.join(top, "running.html"), sample.make_data(40, state="running"))
        ended = sample.write_report(os.path.join(top, "ended.html"), sample.make_data(40, state="ended"))
        with browser.Page(running) as live, browser.Page(ended) as over:
            opened = time.monotonic()
            # Chosen in one step: on a loaded machine the page may be reloading
            # already (the second browser's start can take longer than a period).
            live.wait_for("(c => !!c && (c.click(), true))(document.querySelector('.cell[data-i=\"4\"]'))")
            while live.loads() < 2 and time.monotonic() < opened + RELOAD_SECONDS + 20:
                time.sleep(0.2)
            self.assertGreaterEqual(live.loads(), 2)
            # The ended page had as long as the live one, and more, to reload.
            time.sleep(max(0, opened + RELOAD_SECONDS + 2.5 - time.monotonic()))
            self.assertEqual(over.loads(), 1)
            live.wait_for("performance.getEntriesByType('navigation')[0].type === 'reload'"
                          " && document.documentElement.dataset.drawn")
            # The printer chosen before the reload is still the one shown.
            self.assertEqual(live.detail()["i"], "4")
            self.assertEqual(live.evaluate("document.documentElement.dataset.reload"), str(RELOAD_SECONDS))
            self.assertIsNone(over.evaluate("document.documentElement.dataset.reload"))
            for page in (live, over):
                self.assertEqual(set(page.requests()), {page.url.split("#")[0]})


if __name__ == "__main__":
    unittest.main()
