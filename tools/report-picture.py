#!/usr/bin/env python3
"""Makes the README's picture of a fleet report: holm-fleet delivers a
firmware bundle to 50 simulated printers of the test bed (network
namespaces, tests/e2e/fleetbed.py), a canary of five first, a few printers
faulty, and headless Chromium photographs DIR/report.html.

    python3 tools/report-picture.py --build build/linux docs/fleet-report.png

As root; about a minute. Needs chromium, nftables and iproute2."""
import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

PRINTERS = 50
OLD, NEW = "main=1.0", "main=2.0"
TAKES_NEW = ["--firmware", OLD, "--installs", NEW]


def spec(i, Printer):
    """Most printers take the new firmware; a few are current already, and
    a few are faulty: cut off, a changed password, one that refuses the image."""
    if i in (7, 8, 21, 30, 44):
        return Printer(["--firmware", NEW])
    if i in (12, 13):
        return Printer(TAKES_NEW, unreachable=True)
    if i in (26, 27):
        return Printer(TAKES_NEW + ["--password", "changed"])
    if i == 38:
        return Printer(["--firmware", OLD])
    return Printer(TAKES_NEW)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", required=True, help="the build folder with holm, holm-pack and holm-fleet")
    p.add_argument("png", help="where the picture goes")
    args = p.parse_args()
    build = os.path.abspath(args.build)
    os.environ.update(HOLM_BIN=os.path.join(build, "holm"), HOLM_PACK=os.path.join(build, "holm-pack"),
                      HOLM_FLEET=os.path.join(build, "holm-fleet"))
    import browser
    import fleetbed
    from downloads import FIRMWARE, Scratch
    from fleet import make_bundle, run_fleet
    from fleetbed import Printer, address

    scratch = Scratch()
    try:
        bed = fleetbed.FleetBed(scratch, [spec(i, Printer) for i in range(PRINTERS)])
        make_bundle(scratch.path("fw-update.exe"), FIRMWARE[:1])
        lines = "".join(f"{address(i)}\n" for i in range(PRINTERS))
        out = scratch.path("run1")
        run = run_fleet(bed, ["--canary", "5", "--firmware", NEW, "-o", out, "fw-update.exe", "-"], scratch.dir,
                        stdin=lines.encode())
        print(run.stdout, end="")
        with browser.Page(os.path.join(out, "report.html"), size=(1400, 1000)) as page:
            page.evaluate("document.querySelector('.cell[data-i=\"26\"]').click()")
            page.screenshot(os.path.abspath(args.png), full_page=True)
    finally:
        scratch.close()


if __name__ == "__main__":
    main()
