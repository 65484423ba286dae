"""The fleet report page at 10,000 printers: its size on disk, and how long
headless Chromium takes to draw it. Started by bench/report.sh.

Reports come from tools/report-sample.py (the same filling as holm-fleet's):
a typical ended run (outputs of a few short lines), the same run live, and
a run whose every printer left output at the data's limit of 400
characters. For each, every repetition opens the file in a new Chromium
and reads the page's own marks, in milliseconds since the navigation
began: "drawn" when its script has built everything and the layout is
done, "painted" when the first frame after that was produced. "dump-dom"
is the wall time of a whole `chromium --dump-dom` of the file, the browser's
start included, beside the same for an empty page.
"""
import argparse
import importlib.util
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import browser  # noqa: E402

_spec = importlib.util.spec_from_file_location("report_sample", os.path.join(HERE, "..", "tools", "report-sample.py"))
sample = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(sample)

SIZE_TARGET = 5 * 1000 * 1000
DRAW_TARGET_MS = 2000


def reports(top, printers):
    """(name, path) of the reports measured."""
    shape = dict(printers=printers, failed=5, canary=2, waves=4, stop="brake", firmware="main=2.0", jobs=64)
    typical = sample.make_data(**shape)
    live = sample.make_data(state="running", **{k: v for k, v in shape.items() if k != "stop"})
    longest = sample.make_data(**shape)
    filler = "Sending fw-update.bin: 48211968 bytes to the print port, chunk 5881 of 5881 "
    for row in longest["printers"]:
        if row[6] is not None:
            row[10] = "\n".join([filler[:79]] * 5)[:400]
    out = []
    for name, data in (("ended, typical output", typical), ("running", live),
                       ("ended, 400 characters of output each", longest)):
        path = os.path.join(top, name.split(",")[0].replace(" ", "-") + f"-{len(out)}.html")
        out.append((name, sample.write_report(path, data)))
    return out


def page_marks(path):
    with browser.Page(path) as page:
        page.wait_for("document.documentElement.dataset.painted")
        marks = page.evaluate("[Number(document.documentElement.dataset.drawn), Number(document.documentElement.dataset.painted)]")
        if page.errors():
            raise RuntimeError(f"{path}: {page.errors()}")
        return marks


def dump_dom_seconds(path):
    started = time.monotonic()
    browser.dump_dom(path, budget_ms=1000)
    return time.monotonic() - started


def spread(values, unit="ms", digits=0):
    return f"{statistics.median(values):.{digits}f} {unit} ({min(values):.{digits}f}-{max(values):.{digits}f})"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--printers", type=int, default=10000)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--json", help="also write the raw figures here")
    parser.add_argument("--file", action="append", default=[], metavar="REPORT",
                        help="measure this report.html too (a real run's, as bench/fleet.py keeps at 10,000)")
    args = parser.parse_args()
    if not browser.CHROMIUM:
        print("chromium is not installed (apt-get install -y chromium)", file=sys.stderr)
        return 2
    version = subprocess.run([browser.CHROMIUM, "--version"], capture_output=True, text=True).stdout.strip()
    print(f"{version}; {os.cpu_count()} cores; load average {os.getloadavg()[0]:.1f} at the start")
    raw = {}
    with tempfile.TemporaryDirectory(prefix="holm-report-bench-") as top:
        empty = os.path.join(top, "empty.html")
        with open(empty, "w") as f:
            f.write("<!DOCTYPE html><title>empty</title>")
        base = [dump_dom_seconds(empty) for _ in range(args.reps)]
        print(f"| report ({args.printers} printers) | size | drawn | painted | dump-dom |")
        print("|---|---|---|---|---|")
        measured = reports(top, args.printers) + [(f"real run: {path}", path) for path in args.file]
        for name, path in measured:
            size = os.path.getsize(path)
            marks = [page_marks(path) for _ in range(args.reps)]
            walls = [dump_dom_seconds(path) for _ in range(args.reps)]
            drawn, painted = [m[0] for m in marks], [m[1] for m in marks]
            raw[name] = {"bytes": size, "drawn_ms": drawn, "painted_ms": painted, "dump_dom_s": walls}
            print(f"| {name} | {size / 1e6:.2f} MB | {spread(drawn)} | {spread(painted)} | {spread(walls, 's', 2)} |")
        print(f"| empty page | - | - | - | {spread(base, 's', 2)} |")
    print(f"load average {os.getloadavg()[0]:.1f} at the end")
    for name, figures in raw.items():
        size_ok = figures["bytes"] < SIZE_TARGET
        draw_ok = statistics.median(figures["painted_ms"]) < DRAW_TARGET_MS
        print(f"target, {name}: under 5 MB {'met' if size_ok else 'MISSED'}, "
              f"painted under 2 s {'met' if draw_ok else 'MISSED'}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(raw, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
