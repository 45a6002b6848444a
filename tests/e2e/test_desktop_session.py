"""'larkspire-computer --session' on a real desktop: observe the GTK fixture
application, then act on it, and check the effect through the fixture's
state file."""

import json
import os
import signal
import subprocess
import time
import unittest

import harness
from harness import Session, TestCase, start_app, wait_until

ENV = harness.fixture_entry_env()
APP_ID = "org.example.Fixture"


class SessionOnDesktop(TestCase):
    def setUp(self):
        harness.set_accessibility_enabled(True)
        self.state_path = harness.fresh_path("larkspire-fixture-")
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

    def settled_scroll(self, condition, what):
        """The list's scroll position once it meets condition and has come to
        rest (the toolkit animates wheel scrolling)."""
        def rested():
            first = self.state()["scroll"]
            time.sleep(0.4)
            second = self.state()["scroll"]
            return (second,) if second == first and condition(second) else None
        return wait_until(rested, what=what)[0]

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

    def test_click_at_a_screenshot_pixel_and_scroll(self):
        def pixel_of(name):
            def action(data):
                element = next(e for e in data["elements"] if e["name"] == name)
                frame, image, b = data["bounds"], data["image"], element["bounds"]
                centre_x = b["x"] + b["width"] / 2 - frame["x"]
                centre_y = b["y"] + b["height"] / 2 - frame["y"]
                return {"type": "click_at", "x": int(centre_x * image["width"] / frame["width"]),
                        "y": int(centre_y * image["height"] / frame["height"])}
            return action

        response = self.act(pixel_of("Click area"))
        self.assertEqual(response["data"], {"completed": True})
        wait_until(lambda: self.state()["clicks"] == 1, what="the click at the pixel")
        self.assertEqual(self.state()["pressed"], 0)

        outside = self.act(lambda d: {"type": "click_at", "x": d["image"]["width"], "y": 0})
        self.assertEqual(outside["code"], "COMPUTER_INVALID_REQUEST")
        self.assertTrue(outside["notExecuted"])

        # The rows fill the lower half of the window, under its centre.
        self.act(lambda d: {"type": "scroll", "direction": "down", "amount": 400})
        down = self.settled_scroll(lambda value: value > 0, "scrolling down")
        self.act(lambda d: {"type": "scroll", "direction": "up", "amount": 100})
        self.settled_scroll(lambda value: value < down, "scrolling back up")
        refused = self.act(lambda d: {"type": "scroll", "direction": "left", "amount": 100})
        self.assertEqual(refused["code"], "COMPUTER_INVALID_REQUEST")

    def test_typing_into_a_password_field_is_refused(self):
        # A click puts the keyboard focus into the Name entry first.
        self.act(lambda d: {"type": "click", "ref": self.ref("Name")(d)})

        def add_password():
            # The fixture adds a password entry and focuses it on SIGUSR1.
            os.kill(self.app.proc.pid, signal.SIGUSR1)
            wait_until(lambda: self.state().get("passwordLength") == 0, what="the password entry")
            time.sleep(0.3)
        refused = self.act(lambda d: {"type": "type", "text": "secret"}, before_act=add_password)
        self.assertEqual(refused, {"nativeSessionVersion": 2, "ok": False, "code": "COMPUTER_ACCESS_DENIED",
                                   "notExecuted": True})
        time.sleep(0.5)
        self.assertEqual(self.state()["passwordLength"], 0)
        self.assertEqual(self.state()["name"], "")

    def test_another_application_in_front_stops_keyboard_actions(self):
        thief_state = harness.fresh_path("larkspire-thief-")
        thieves = []

        def bring_thief():
            thieves.append(start_app([harness.fixture("fixture_app"), "--app-id", "org.example.Thief",
                                      "--title", "Thief", "--keep-front", "--state-file", thief_state],
                                     env=ENV))
            wait_until(lambda: os.path.exists(thief_state), what="the other application")
            time.sleep(0.5)
        try:
            for action in ({"type": "type", "text": "x"}, {"type": "press", "key": "Return"}):
                with self.subTest(action=action["type"]):
                    response = self.act(lambda d: action, before_act=None if thieves else bring_thief)
                    self.assertEqual(response, {"nativeSessionVersion": 2, "ok": False,
                                                "code": "COMPUTER_TARGET_CHANGED", "notExecuted": True})
            time.sleep(0.3)
            self.assertEqual(self.state()["name"], "")
            with open(thief_state) as f:
                self.assertEqual(json.load(f)["name"], "")
        finally:
            for thief in thieves:
                thief.stop()
            if os.path.exists(thief_state):
                os.unlink(thief_state)

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


@unittest.skipUnless(harness.has_tool("zenity"), "zenity is not installed")
class SessionOnRealApplication(TestCase):
    """zenity's entry dialog: the answer it prints shows what the session did."""

    def test_fill_and_confirm_a_zenity_dialog(self):
        harness.set_accessibility_enabled(True)
        argv = ["zenity", "--entry", "--title", "Question", "--text", "Your name"]
        with start_app(argv) as app:  # with the ordinary data folders (icons, MIME types)
            for action in ({"type": "fill", "role": "AXTextField", "text": "Grace Hopper ✓"},
                           {"type": "click", "role": "AXButton", "name": "OK"}):
                with Session(env=ENV) as session:
                    session.send({"nativeSessionVersion": 2, "operation": "observe",
                                  "appId": "org.example.Zenity"})
                    observation = session.read(timeout=60)
                    self.assertTrue(observation["ok"], observation)
                    target = next(e for e in observation["data"]["elements"]
                                  if e["role"] == action["role"] and e["name"] == action.get("name", e["name"]))
                    request = {"type": action["type"], "ref": target["ref"]}
                    if "text" in action:
                        request["text"] = action["text"]
                    session.send({"nativeSessionVersion": 2, "operation": "act",
                                  "snapshotId": observation["data"]["snapshotId"], "action": request})
                    self.assertEqual(session.read(timeout=60)["ok"], True)
                    session.wait(timeout=30)
            self.assertEqual(app.proc.wait(timeout=20), 0)
            self.assertIn("Grace Hopper ✓\n", app.log())


if __name__ == "__main__":
    unittest.main()
