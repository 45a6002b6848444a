"""Typing through 'larkspire-computer --session' on a real desktop: long
mixed texts arrive character for character in a GTK entry and a GTK text
view while both cores are kept busy; a text with a character no key can
type is refused before anything is typed; the keyboard map is given back
when the tool is terminated, and after it was killed, by the next run.

LARKSPIRE_TYPING_REPEATS=N types each long text N times (default 1);
LARKSPIRE_TYPING_LENGTH=N makes both texts N characters long (default 2500
for the entry, 4000 for the text view: a single-line GTK entry lays out the
whole line again for every key, so on a loaded machine 4000 characters take
it most of a session's 100 s)."""

import contextlib
import json
import os
import signal
import subprocess
import tempfile
import time
import unittest

import harness
from harness import Session, TestCase, start_app, wait_until
from typing_texts import mixed_text, missing_from_us_keyboard

ENV = harness.fixture_entry_env()
APP_ID = "org.example.Fixture"
REPEATS = int(os.environ.get("LARKSPIRE_TYPING_REPEATS", "1"))
LENGTH = os.environ.get("LARKSPIRE_TYPING_LENGTH")
# Honest refusals of a loaded desktop, which the set-up of a typing test
# tries again.
STARVED = {"nativeSessionVersion": 2, "ok": False, "code": "COMPUTER_UNAVAILABLE", "notExecuted": True}
TARGET_CHANGED = {"nativeSessionVersion": 2, "ok": False, "code": "COMPUTER_TARGET_CHANGED", "notExecuted": True}


@contextlib.contextmanager
def busy_cores(count=2):
    """Keeps `count` cores busy, as other work on the machine would."""
    loops = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(count)]
    try:
        yield
    finally:
        for loop in loops:
            loop.kill()
            loop.wait()


def keyboard_map():
    return subprocess.run(["xmodmap", "-pke"], stdout=subprocess.PIPE, check=True, text=True).stdout


def borrowed_keys_property():
    out = subprocess.run(["xprop", "-root", "_LARKSPIRE_BORROWED_KEYS"], stdout=subprocess.PIPE, text=True).stdout
    return None if "not found" in out or "no such atom" in out else out.strip()


class TypingOnDesktop(TestCase):
    def setUp(self):
        harness.set_accessibility_enabled(True)
        self.tmp = tempfile.TemporaryDirectory(prefix="larkspire-typing-")
        self.state_path = os.path.join(self.tmp.name, "state.json")
        self.app = start_app([harness.fixture("fixture_app"), "--state-file", self.state_path], env=ENV)
        wait_until(lambda: os.path.exists(self.state_path), what="the fixture's state file")

    def tearDown(self):
        self.app.stop()
        self.tmp.cleanup()

    def state(self):
        with open(self.state_path) as f:
            return json.load(f)

    def session(self, action, tries=5):
        """A session that observed the fixture and was sent the action;
        returns it (with the action's answer not yet read). An action made
        from the observation may answer None: the observation lacks what it
        needs (an application starved of time may not answer an element's
        extents in time), and a new session observes again. So it does when
        the observation itself is refused as unavailable: the application
        did not answer in time."""
        for _ in range(tries):
            session = Session(env=ENV)
            session.send({"nativeSessionVersion": 2, "operation": "observe", "appId": APP_ID})
            observation = session.read(timeout=60)
            if observation == STARVED:
                session.stop()
                continue
            self.assertTrue(observation["ok"], observation)
            made = action(observation["data"]) if callable(action) else action
            if made is None:
                session.stop()
                continue
            session.send({"nativeSessionVersion": 2, "operation": "act",
                          "snapshotId": observation["data"]["snapshotId"], "action": made})
            return session
        self.fail(f"no observation had what the action needs in {tries} tries")

    def act(self, action, timeout=120):
        with self.session(action) as session:
            response = session.read(timeout=timeout)
            status, _, err = session.wait(timeout=30)
        self.assertEqual(err, b"")
        self.assertEqual(status, 0 if response["ok"] else 1)
        return response

    def focus_and_clear(self, name, field):
        def click_near_the_top(data):
            # A text view grows with its text, past the bottom of the screen:
            # its top stays where a click lands.
            element = next(e for e in data["elements"] if e["name"] == name)
            frame, image, b = data["bounds"], data["image"], element["bounds"]
            if not b:
                return None
            x, y = b["x"] + min(20, b["width"] / 2), b["y"] + min(8, b["height"] / 2)
            return {"type": "click_at", "x": int((x - frame["x"]) * image["width"] / frame["width"]),
                    "y": int((y - frame["y"]) * image["height"] / frame["height"])}
        for _ in range(5):
            # The window may still be settling after the last text (its
            # size follows the text view's): the click is refused then.
            response = self.act(click_near_the_top)
            if response != TARGET_CHANGED:
                break
            time.sleep(1)
        self.assertTrue(response["ok"], response)
        wait_until(lambda: self.state()["focus"] == name, what=f"the focus in {name}")
        for key in ("Mod+a", "Backspace"):
            response = self.act({"type": "press", "key": key})
            self.assertTrue(response["ok"], (key, response))
        wait_until(lambda: self.state()[field] == "", timeout=60, what=f"the {name} field cleared")

    def test_long_mixed_texts_arrive_exactly_while_both_cores_are_busy(self):
        # A GTK entry takes line breaks and tabs as commands; a text view
        # takes them as text.
        for name, field, controls, length in (("Notes", "notes", False, 2500), ("Text", "text", True, 4000)):
            for repeat in range(REPEATS):
                text = mixed_text(repeat, count=int(LENGTH or length), controls=controls)
                self.assertGreaterEqual(len(missing_from_us_keyboard(text)), 30)
                with self.subTest(field=name, repeat=repeat):
                    self.focus_and_clear(name, field)
                    with busy_cores():
                        response = self.act({"type": "type", "text": text}, timeout=150)
                    self.assertEqual(response, {"nativeSessionVersion": 2, "ok": True, "data": {"completed": True}})
                    # Done means handled: the application has every key already.
                    wait_until(lambda: self.state()[field] == text, timeout=10, what="the whole text")
        self.assertIsNone(borrowed_keys_property())

    def test_a_character_no_key_can_type_refuses_the_text_before_any_of_it(self):
        self.focus_and_clear("Notes", "notes")
        before = keyboard_map()
        response = self.act({"type": "type", "text": "abc\u00e9\u0007def"})
        self.assertEqual(response, {"nativeSessionVersion": 2, "ok": False, "code": "COMPUTER_UNAVAILABLE",
                                    "notExecuted": True})
        time.sleep(0.5)
        self.assertEqual(self.state()["notes"], "")
        self.assertEqual(keyboard_map(), before)

    def test_the_keyboard_map_is_given_back_when_the_tool_is_terminated_or_killed(self):
        # A single-line entry: a growing text view would resize the window.
        self.focus_and_clear("Notes", "notes")
        original = keyboard_map()
        # Long enough that the tool is still typing when it is stopped. A few
        # characters the map lacks, over and over: every change of the map
        # makes every client (the window manager too) reload it, and the
        # text should not keep them busy after the test.
        text = "\u65e5\u672c\u8a9e\u00e9 " * 800

        def typing_session():
            session = self.session({"type": "type", "text": text})
            wait_until(lambda: borrowed_keys_property() is not None, timeout=30, what="keycodes bound for typing")
            time.sleep(0.5)
            return session

        session = typing_session()
        session.proc.send_signal(signal.SIGTERM)
        self.assertEqual(session.proc.wait(timeout=20), -signal.SIGTERM)
        session.stop()
        self.assertEqual(keyboard_map(), original)
        self.assertIsNone(borrowed_keys_property())

        session = typing_session()
        session.proc.kill()
        session.proc.wait(timeout=20)
        session.stop()
        self.assertNotEqual(keyboard_map(), original)  # left behind by the killed run
        self.assertIsNotNone(borrowed_keys_property())

        # The next run that types gives them back first (the keyboard focus
        # is still in the entry).
        for key in ("Mod+a", "Backspace"):
            self.assertTrue(self.act({"type": "press", "key": key})["ok"])
        response = self.act({"type": "type", "text": "\u00e9t\u00e9"})
        self.assertEqual(response["ok"], True, response)
        wait_until(lambda: self.state()["notes"] == "\u00e9t\u00e9", what="the typed text")
        self.assertEqual(keyboard_map(), original)
        self.assertIsNone(borrowed_keys_property())


if __name__ == "__main__":
    unittest.main()
