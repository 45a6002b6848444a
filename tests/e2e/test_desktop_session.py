"""'larkspire-computer --session' on a real desktop: observe the GTK fixture
application, then act on it, and check the effect through the fixture's
state file."""

import json
import os
import subprocess
import tempfile
import time
import unittest

import harness
from harness import Session, TestCase, start_app, wait_until

ENV = harness.fixture_entry_env()
APP_ID = "org.example.Fixture"


class SessionOnDesktop(TestCase):
    def setUp(self):
        harness.set_accessibility_enabled(True)
        self.state_path = tempfile.mktemp(prefix="larkspire-fixture-", suffix=".json")
        self.app = start_app([harness.fixture("fixture_app"), "--state-file", self.state_path], env=ENV)
        wait_until(lambda: os.path.exists(self.state_path), what="the fixture's state file")

    def tearDown(self):
        self.app.stop()

    def state(self):
        with open(self.state_path) as f:
            return json.load(f)

    def act(self, make_action, before_act=None, snapshot=None):
        """One session: observe, then the action make_action(observation)."""
        with Session(env=ENV) as session:
            session.send({"nativeSessionVersion": 2, "operation": "observe", "appId": APP_ID})
            observation = session.read(timeout=60)
            self.assertTrue(observation["ok"], observation)
            self.assertEqual(observation["nativeSessionVersion"], 2)
            if before_act:
                before_act()
            session.send({"nativeSessionVersion": 2, "operation": "act",
                          "snapshotId": snapshot or observation["data"]["snapshotId"],
                          "action": make_action(observation["data"])})
            response = session.read(timeout=60)
            status, _, err = session.wait(timeout=30)
        self.assertEqual(err, b"")
        self.assertEqual(status, 0 if response["ok"] else 1)
        return response

    @staticmethod
    def ref(name):
        return lambda data: next(e["ref"] for e in data["elements"] if e["name"] == name)

    def test_click_presses_a_button_and_clicks_an_element_without_actions(self):
        response = self.act(lambda d: {"type": "click", "ref": self.ref("Press me")(d)})
        self.assertEqual(response, {"nativeSessionVersion": 2, "ok": True, "data": {"completed": True}})
        wait_until(lambda: self.state()["pressed"] == 1, what="the press")
        self.act(lambda d: {"type": "click", "ref": self.ref("Click area")(d)})
        wait_until(lambda: self.state()["clicks"] == 1, what="the real click")

    def test_fill_type_and_press(self):
        self.act(lambda d: {"type": "fill", "ref": self.ref("Name")(d), "text": "Ada"})
        wait_until(lambda: self.state()["name"] == "Ada", what="the filled value")
        # A real click puts the caret into the entry; then text is typed there.
        self.act(lambda d: {"type": "click", "ref": self.ref("Name")(d)})
        self.act(lambda d: {"type": "press", "key": "End"})
        text = " héllo 日本 😀"
        self.act(lambda d: {"type": "type", "text": text})
        wait_until(lambda: self.state()["name"] == "Ada" + text, timeout=30, what="the typed text")
        self.act(lambda d: {"type": "press", "key": "Mod+a"})
        self.act(lambda d: {"type": "press", "key": "Backspace"})
        wait_until(lambda: self.state()["name"] == "", what="the cleared entry")

    def test_refusals_change_nothing(self):
        wrong = self.act(lambda d: {"type": "click", "ref": "e1"}, snapshot="00000000-0000-0000-0000-000000000000")
        self.assertEqual(wrong["code"], "COMPUTER_INVALID_REQUEST")

        def move():
            subprocess.run(["xdotool", "windowmove", str(self.app.window), "37", "41"], check=True)
            time.sleep(0.5)
        moved = self.act(lambda d: {"type": "click", "ref": self.ref("Press me")(d)}, before_act=move)
        self.assertEqual(moved, {"nativeSessionVersion": 2, "ok": False, "code": "COMPUTER_TARGET_CHANGED",
                                 "notExecuted": True})
        time.sleep(0.3)
        self.assertEqual(self.state()["pressed"], 0)


if __name__ == "__main__":
    unittest.main()
