"""Network downloads in every mode letter against a simulated printer."""
import re
import unittest

import netbed
from downloads import (FIRMWARE, ORDINARY, TRAILING_DIR, Expected, describe, run_all,
                       run_download)
from netbed import PRINTER_IP

# Every letter that reaches the sequencer, the blank default, a digit, a
# capital and a byte of 128 or more.
LETTERS = ["a", "b", "c", "d", "e", "f", "h", "i", "j", " ", "5", "A", "\xc8"]
PROGRESS_ENTER = "\nEntering download mode\n"
PROGRESS_SEND = "\nSending data to printer\n"
PROGRESS_RESTART = "\nWaiting for printer to restart after download\n"

_skip = netbed.available()


def matrix():
    for letter in LETTERS:
        for kind, files in (("firmware", FIRMWARE), ("ordinary", ORDINARY)):
            yield letter, kind, files[:1], False
            yield letter, kind, files, True


def sim_for(letter):
    # The download-mode check of e and f finds a printer put into download
    # mode by an earlier run.
    return ["--download-mode"] if letter in "ef" else []


@unittest.skipIf(_skip, _skip or "")
class EveryLetter(unittest.TestCase):
    def check(self, outcome, expected):
        if outcome.error is not None:
            raise outcome.error
        result = outcome.result
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.stderr, "")
        self.assertRegex(result.stdout, "\\A" + expected.stdout + "\\Z")
        self.assertEqual(outcome.commands, expected.commands)
        self.assertEqual(outcome.logins, [("root", True)] * len(expected.commands))
        if expected.sends:
            self.assertEqual(outcome.opens, 1)
            self.assertEqual(describe(outcome.jobs), describe([expected.job]))
        else:
            self.assertEqual(outcome.opens, 0)

    def test_stages_and_bytes_per_letter(self):
        cases = list(matrix())
        jobs = []
        for letter, _, files, trailing in cases:
            entries = files + [TRAILING_DIR] if trailing else files
            jobs.append((entries, ["-d", "-m", letter, "-n", PRINTER_IP], sim_for(letter)))
        for (letter, kind, files, trailing), outcome in zip(cases, run_all(jobs)):
            with self.subTest(letter=letter, data=kind, entries=len(files)):
                self.check(outcome, Expected(letter, files, trailing))


@unittest.skipIf(_skip, _skip or "")
class Progress(unittest.TestCase):
    """Without -d the progress lines stand where the event characters were."""

    def test_progress_lines(self):
        firmware = FIRMWARE[:1]
        cases = [
            # The main job: an attached firmware image, -n and nothing else.
            (firmware, [], None, PROGRESS_ENTER + PROGRESS_SEND + PROGRESS_RESTART),
            # A named file has the blank letter: an image is put through the
            # console but no restart is awaited.
            ([], [], ("named.bin", FIRMWARE[0][1]), PROGRESS_ENTER + PROGRESS_SEND),
            ([], [], ("named.prn", ORDINARY[0][1]), PROGRESS_SEND),
            # Two images with no directory after them: the restart is awaited.
            (FIRMWARE, [], None, PROGRESS_ENTER + PROGRESS_SEND * 2 + PROGRESS_RESTART),
            (ORDINARY, ["-m", "c"], None, PROGRESS_ENTER * 2),
        ]
        with_data = [(entries, extra + ["-n", PRINTER_IP], [], named)
                     for entries, extra, named, _ in cases]
        from concurrent.futures import ThreadPoolExecutor
        with ThreadPoolExecutor(max_workers=len(cases)) as pool:
            outcomes = list(pool.map(lambda job: run_download(*job), with_data))
        for (entries, extra, named, stdout), outcome in zip(cases, outcomes):
            with self.subTest(args=extra, named=named and named[0], entries=len(entries)):
                if outcome.error is not None:
                    raise outcome.error
                self.assertEqual((outcome.result.status, outcome.result.stdout, outcome.result.stderr),
                                 (0, stdout, ""))
                if named is not None:
                    self.assertEqual(describe(outcome.jobs), describe([named[1]]))


if __name__ == "__main__":
    unittest.main()
