"""An X server that goes away under a running program neither ends the
program nor makes a library print: the display is then reported missing."""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402


class LostDisplay(harness.TestCase):
    def test_the_program_survives_and_stays_quiet(self):
        rfd, wfd = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(wfd), "-screen", "0", "640x480x24", "-nolisten", "tcp"],
                                pass_fds=(wfd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(wfd)
        try:
            with os.fdopen(rfd) as f:
                display = ":" + f.readline().strip()
            probe = harness.LineProcess([os.path.join(harness.PROBES, "context_probe"), "lost-display"],
                                        env={"DISPLAY": display})
            with probe:
                self.assertEqual(probe.read(60), {"opened": True, "capture": True})
                xvfb.kill()
                xvfb.wait()
                probe.send("go")
                self.assertEqual(probe.read(60), {"alive": True, "display": False, "capture": False})
                status, rest, stderr = probe.wait(60)
                self.assertEqual((status, rest, stderr), (0, b"", b""))
        finally:
            if xvfb.poll() is None:
                xvfb.kill()
                xvfb.wait()


if __name__ == "__main__":
    unittest.main()
