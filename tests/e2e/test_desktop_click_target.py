"""Real mouse clicks through 'larkspire-computer --session' land only where
the target window itself is under the point: a strip kept above every
window along the bottom of the screen (a task bar), the edge of the screen
and a window pushed partly off it make the click a refusal, and nothing
reaches either application. A click that another program holds back (as a
busy window manager does) is answered only once it was delivered, and as a
failure when it was not within the wait."""

import json
import os
import select
import subprocess
import tempfile
import time
import unittest

import harness
from harness import Session, TestCase, start_app, wait_until

ENV = harness.fixture_entry_env()
APP_ID = "org.example.Fixture"
SCREEN_HEIGHT = 1000
REFUSED = {"nativeSessionVersion": 2, "ok": False, "code": "COMPUTER_TARGET_CHANGED", "notExecuted": True}


def read_json(path):
    with open(path) as f:
        return json.load(f)


class ClicksLandOnTheTarget(TestCase):
    def setUp(self):
        harness.set_accessibility_enabled(True)
        self.tmp = tempfile.TemporaryDirectory(prefix="larkspire-click-")
        self.state_path = os.path.join(self.tmp.name, "state.json")
        self.panel_path = os.path.join(self.tmp.name, "panel.json")
        self.app = start_app([harness.fixture("fixture_app"), "--state-file", self.state_path], env=ENV)
        self.panel = start_app([harness.fixture("fixture_app"), "--app-id", "org.example.Panel", "--panel",
                                "--state-file", self.panel_path], env=ENV)
        wait_until(lambda: os.path.exists(self.state_path) and os.path.exists(self.panel_path),
                   what="both applications")

    def tearDown(self):
        self.panel.stop()
        self.app.stop()
        self.tmp.cleanup()

    def observe_and_act(self, make_action):
        with Session(env=ENV) as session:
            session.send({"nativeSessionVersion": 2, "operation": "observe", "appId": APP_ID})
            observation = session.read(timeout=60)
            self.assertTrue(observation["ok"], observation)
            session.send({"nativeSessionVersion": 2, "operation": "act",
                          "snapshotId": observation["data"]["snapshotId"],
                          "action": make_action(observation["data"])})
            response = session.read(timeout=60)
            session.wait(timeout=30)
        return response

    def move_window(self, x, y):
        """Moves the fixture so that its window (the frame included) starts
        at (x, y), and waits until it is there."""
        subprocess.run(["xdotool", "windowmove", "--sync", str(self.app.window), str(x), str(y)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)

    @staticmethod
    def area(data):
        return next(e for e in data["elements"] if e["name"] == "Click area")

    @staticmethod
    def pixel(data, x, y):
        frame, image = data["bounds"], data["image"]
        return {"type": "click_at", "x": int((x - frame["x"]) * image["width"] / frame["width"]),
                "y": int((y - frame["y"]) * image["height"] / frame["height"])}

    def clicks(self):
        return read_json(self.state_path)["clicks"], read_json(self.panel_path)["clicks"]

    def test_a_click_under_an_always_on_top_strip_is_refused(self):
        # Where the window starts, the click area lies well above the strip.
        data = {}
        self.observe_and_act(lambda d: data.update(d) or {"type": "press", "key": "Escape"})
        area = self.area(data)["bounds"]
        offset = area["y"] + area["height"] / 2 - data["bounds"]["y"]
        # Move the window down until the area's centre is 25 points above the
        # bottom of the screen: under the 60-point strip.
        self.move_window(int(data["bounds"]["x"]), int(SCREEN_HEIGHT - 25 - offset))

        def click(d):
            return {"type": "click", "ref": self.area(d)["ref"]}
        self.assertEqual(self.observe_and_act(click), REFUSED)

        def click_at(d):
            b = self.area(d)["bounds"]
            return self.pixel(d, b["x"] + b["width"] / 2, b["y"] + b["height"] / 2)
        self.assertEqual(self.observe_and_act(click_at), REFUSED)
        time.sleep(0.5)
        self.assertEqual(self.clicks(), (0, 0))

        # Back above the strip, the same click lands.
        self.move_window(int(data["bounds"]["x"]), int(data["bounds"]["y"]))
        self.assertEqual(self.observe_and_act(click)["ok"], True)
        wait_until(lambda: self.clicks() == (1, 0), what="the click on the area")

    def test_a_click_below_or_beside_the_screen_is_refused(self):
        self.panel.stop()  # nothing in the way but the edges of the screen
        data = {}
        self.observe_and_act(lambda d: data.update(d) or {"type": "press", "key": "Escape"})
        area = self.area(data)["bounds"]
        offset = area["y"] + area["height"] / 2 - data["bounds"]["y"]
        self.move_window(int(data["bounds"]["x"]), int(SCREEN_HEIGHT + 10 - offset))

        def click(d):
            return {"type": "click", "ref": self.area(d)["ref"]}
        self.assertEqual(self.observe_and_act(click), REFUSED)

        # Pushed off the right edge: a point of its picture past the edge.
        self.move_window(1600 - 200, 100)

        def click_past_the_edge(d):
            b = self.area(d)["bounds"]
            return self.pixel(d, 1600 + 20, b["y"] + b["height"] / 2)
        response = self.observe_and_act(click_past_the_edge)
        self.assertEqual(response, REFUSED)
        time.sleep(0.5)
        self.assertEqual(read_json(self.state_path)["clicks"], 0)

    def test_a_held_back_click_is_answered_once_delivered_or_as_a_failure(self):
        def click(d):
            return {"type": "click", "ref": self.area(d)["ref"]}

        def hold_clicks(seconds):
            holder = subprocess.Popen([os.path.join(harness.PROBES, "pointer_holder"), str(seconds)],
                                      stdout=subprocess.PIPE, text=True)
            self.addCleanup(lambda: (holder.kill(), holder.wait()))
            self.assertEqual(holder.stdout.readline(), "ready\n")
            return holder

        holder = hold_clicks(3)
        self.assertEqual(self.observe_and_act(click)["ok"], True)
        # The holder said so before it let the click go on: by the answer,
        # its line is there to read.
        self.assertTrue(select.select([holder.stdout], [], [], 0)[0], "answered before the click was let go")
        self.assertEqual(holder.stdout.readline(), "letting go\n")
        wait_until(lambda: self.clicks() == (1, 0), what="the click on the area")
        holder.kill()
        holder.wait()

        # Held for longer than the click may take: posted, so not a refusal.
        hold_clicks(120)
        self.assertEqual(self.observe_and_act(click),
                         {"nativeSessionVersion": 2, "ok": False, "code": "COMPUTER_UNAVAILABLE",
                          "notExecuted": False})


if __name__ == "__main__":
    unittest.main()
