"""A Qt 5 application we did not write, FeatherPad from Debian, through the
real programs: its window pairs although Qt gives accessibility the inside
of the window where GTK gives the frame; it is observed, clicked by
reference and typed into; and reading it never ends it, whether by many
observes or by the selection observer watching it for a minute."""

import os
import subprocess
import tempfile
import time
import unittest

import harness
from harness import LineProcess, Session, TestCase, run_computer, start_app, wait_until

APP_ID = "featherpad"
FEATHERPAD = "/usr/bin/featherpad"
HOME = tempfile.TemporaryDirectory(prefix="larkspire-qt-home-")
ENV = {
    # Debian's own entries, FeatherPad's among them.
    "XDG_DATA_DIRS": "/usr/share",
    "XDG_DATA_HOME": os.path.join(HOME.name, "data"),
    "XDG_CONFIG_HOME": os.path.join(HOME.name, "config"),
    "HOME": HOME.name,
    "LANG": "C.UTF-8",
}
OBSERVE_COUNT = 20
OBSERVER_SECONDS = 60


def xdotool(*args):
    subprocess.run(["xdotool", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def frame_extents(window):
    """_NET_FRAME_EXTENTS of a client window: (left, right, top, bottom)."""
    out = subprocess.run(["xprop", "-id", str(window), "_NET_FRAME_EXTENTS"], stdout=subprocess.PIPE,
                         text=True).stdout
    _, _, values = out.partition("=")
    return tuple(int(v) for v in values.split(","))


def observe():
    result = run_computer({"operation": "observe", "appId": APP_ID}, env=ENV)
    if result.stderr:
        raise AssertionError(f"stderr not empty: {result!r}")
    return result


def editor(data):
    """The element of FeatherPad's text editing area: the largest editable
    text area (the find and replace fields are text areas too)."""
    areas = [e for e in data["elements"] if e["role"] == "AXTextArea" and e.get("editable") and e.get("bounds")]
    if not areas:
        raise AssertionError(f"no text area among {[(e['role'], e.get('name')) for e in data['elements']]}")
    return max(areas, key=lambda e: e["bounds"]["width"] * e["bounds"]["height"])


@unittest.skipUnless(os.path.exists(FEATHERPAD), "FeatherPad is not installed (scripts/bootstrap installs it)")
class FeatherPad(TestCase):
    def setUp(self):
        # Qt builds its accessibility tree only when accessibility is on.
        harness.set_accessibility_enabled(True)
        self.app = start_app([FEATHERPAD, "--standalone"], env=ENV)
        self.addCleanup(self.app.stop)
        harness.accessible_app(self.app.pid)
        xdotool("windowactivate", "--sync", str(self.app.window))

    def assertAlive(self, when):
        self.assertIsNone(self.app.proc.poll(), f"FeatherPad ended ({self.app.proc.returncode}) {when}")

    def act(self, action):
        """Observes FeatherPad in a session and sends it one action built
        from the observation; answers the action's response."""
        with Session(env=ENV) as session:
            session.send({"nativeSessionVersion": 2, "operation": "observe", "appId": APP_ID})
            observation = session.read(timeout=60)
            self.assertTrue(observation["ok"], observation)
            session.send({"nativeSessionVersion": 2, "operation": "act",
                          "snapshotId": observation["data"]["snapshotId"],
                          "action": action(observation["data"])})
            response = session.read(timeout=60)
            status, _, err = session.wait(timeout=30)
        self.assertEqual(err, b"")
        self.assertEqual(status, 0 if response["ok"] else 1)
        return response

    def text(self):
        app = harness.accessible_app(self.app.pid)
        area = harness.find_accessible(app, role="text")
        text = area.queryText()
        return text.getText(0, text.characterCount)

    def test_observed_clicked_by_reference_and_typed_into(self):
        result = observe()
        self.assertEqual(result.status, 0, result)
        data = result.response["data"]
        # The observed window is the decorated frame around FeatherPad's
        # client window, which is what Qt reports to accessibility.
        x, y, width, height = harness.window_geometry(self.app.window)
        left, right, top, bottom = frame_extents(self.app.window)
        self.assertGreater(left + right + top + bottom, 0)
        self.assertEqual(data["bounds"], {"x": x - left, "y": y - top,
                                          "width": width + left + right, "height": height + top + bottom})
        self.assertEqual(data["windowId"], str(self.app.window))
        area = editor(data)
        # The text area lies inside the client area, in screen coordinates.
        b = area["bounds"]
        self.assertTrue(x <= b["x"] and b["x"] + b["width"] <= x + width, (b, (x, y, width, height)))
        png = harness.decode_png(data["image"]["data"])
        self.assertEqual(harness.png_size(png), (data["image"]["width"], data["image"]["height"]))

        clicked = self.act(lambda d: {"type": "click", "ref": editor(d)["ref"]})
        self.assertTrue(clicked["ok"], clicked)
        typed = self.act(lambda d: {"type": "type", "text": "Qt says hello"})
        self.assertTrue(typed["ok"], typed)
        wait_until(lambda: "Qt says hello" in self.text(), what="the typed text in FeatherPad")
        self.assertAlive("after being observed, clicked and typed into")

    def test_reading_never_ends_it(self):
        xdotool("type", "--delay", "10", "some words to select")
        observed = 0
        for i in range(OBSERVE_COUNT):
            result = observe()
            # On a loaded machine a call to the application may run out of
            # time: the observe then answers unavailable, in bounded time,
            # and the application is let be for a moment. Anything else is
            # a fault, and the application must live through every read.
            if result.status != 0:
                self.assertEqual(result.response, {"ok": False, "code": "COMPUTER_UNAVAILABLE", "notExecuted": True},
                                 (i, result))
            observed += result.status == 0
            self.assertAlive(f"after observe {i + 1}")
        self.assertGreaterEqual(observed, OBSERVE_COUNT // 2)

        with LineProcess([harness.OBSERVER]) as watcher:
            self.assertEqual(watcher.read(timeout=10), {"type": "permission", "granted": True})
            xdotool("windowactivate", "--sync", str(self.app.window))
            deadline = time.monotonic() + OBSERVER_SECONDS
            lines = []
            selected = False
            while time.monotonic() < deadline:
                # Select and clear again and again, so that the observer
                # keeps reading FeatherPad's text while it is in front.
                xdotool("key", "ctrl+a" if not selected else "End")
                selected = not selected
                try:
                    line = watcher.read(timeout=max(0.1, min(2.0, deadline - time.monotonic())))
                except TimeoutError:
                    line = None
                if line is not None:
                    lines.append(line)
                self.assertAlive("while the selection observer watched it")
            watcher.stop()
        selections = [line for line in lines if line.get("type") == "selection"]
        self.assertTrue(selections, lines)
        self.assertIn("some words to select", [line.get("text") for line in selections])
        self.assertAlive("after a minute of the selection observer")


if __name__ == "__main__":
    unittest.main()
