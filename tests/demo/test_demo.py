"""The README's main job, tools/demo.sh, reports its own outcome: status 0
when both deliveries succeeded and the images arrived intact, 1 when a
delivery failed or an image differs.

The demo runs with the built programs (HOLM_DEMO_BUILD, so it builds
nothing); the failing cases run it from a copy of the tools whose
simulated printer refuses the print port or spoils what it stores.

Environment (set by CTest):
  HOLM_DEMO_BUILD  the native build folder, with holm and holm-pack
"""
import os
import shutil
import subprocess
import tempfile
import unittest
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(HERE, "..", "..", "tools")
BUILD = os.environ.get("HOLM_DEMO_BUILD", "")
TIMEOUT = 300
# A printer that stores each print-port job with one byte changed.
SPOILS = """import sys
sys.path.insert(0, {real!r})
import printer_sim

receive = printer_sim.Raw.receive


def spoiled(self, f):
    size, how = receive(self, f)
    f.seek(size // 2)
    f.write(b"?")
    return size, how


printer_sim.Raw.receive = spoiled
printer_sim.main()
"""
# A printer whose print port is elsewhere: the connection is refused.
REFUSES = """import sys
sys.path.insert(0, {real!r})
import printer_sim

sys.argv += ["--raw-port", "9101"]
printer_sim.main()
"""


def demo(tree):
    done = subprocess.run(["bash", os.path.join(tree, "tools", "demo.sh")], capture_output=True,
                          timeout=TIMEOUT, env=dict(os.environ, HOLM_DEMO_BUILD=BUILD))
    return done.returncode, done.stdout.decode("latin-1"), done.stderr.decode("latin-1")


def tree_with_printer(top, source):
    """A copy of the tools whose simulated printer is source."""
    for name in ("demo.sh", "packages.sh"):
        os.makedirs(os.path.join(top, "tools"), exist_ok=True)
        shutil.copy2(os.path.join(TOOLS, name), os.path.join(top, "tools", name))
    os.makedirs(os.path.join(top, "tools", "printer-sim"))
    with open(os.path.join(top, "tools", "printer-sim", "printer_sim.py"), "w") as f:
        f.write(source.format(real=os.path.abspath(os.path.join(TOOLS, "printer-sim"))))
    return top


@unittest.skipUnless(os.geteuid() == 0, "the demo needs root for its network namespaces")
class Demo(unittest.TestCase):
    def setUp(self):
        if not os.path.isfile(os.path.join(BUILD, "holm-pack")):
            self.fail(f"HOLM_DEMO_BUILD does not name the native build: {BUILD!r}")
        self.dir = tempfile.mkdtemp(prefix="holm-demo-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def test_status_is_the_outcome(self):
        trees = {"delivered": os.path.join(TOOLS, ".."),
                 "image spoiled": tree_with_printer(os.path.join(self.dir, "spoils"), SPOILS),
                 "print port refused": tree_with_printer(os.path.join(self.dir, "refuses"), REFUSES)}
        with ThreadPoolExecutor(len(trees)) as pool:
            results = dict(zip(trees, pool.map(demo, trees.values())))
        status, out, err = results["delivered"]
        self.assertEqual((status, err), (0, ""), out)
        self.assertEqual(out.count("[exit status 0 after "), 2, out)
        self.assertEqual(out.count(": the firmware image, byte for byte\n"), 2, out)
        self.assertTrue(out.endswith("\nBoth deliveries succeeded, and the printer received the image "
                                     "intact each time.\n"), out)

        status, out, err = results["image spoiled"]
        self.assertEqual((status, err), (1, ""), out)
        self.assertEqual(out.count("[exit status 0 after "), 2, out)
        self.assertEqual(out.count(": differs from the firmware image\n"), 2, out)
        self.assertTrue(out.endswith("\nThe demonstration failed: 2 of its checks did not hold (see above).\n"),
                        out)

        status, out, err = results["print port refused"]
        self.assertEqual((status, err), (1, ""), out)
        self.assertEqual(out.count("\nError: Could not open print socket\n"), 2, out)
        self.assertIn("\nThe printer received 0 images instead of 2.\n", out)
        self.assertTrue(out.endswith("\nThe demonstration failed: 3 of its checks did not hold (see above).\n"),
                        out)


if __name__ == "__main__":
    unittest.main()
