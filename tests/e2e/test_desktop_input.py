"""Keyboard, mouse and scroll events, global monitors and pointer state on a
real X desktop, through the input probe (tests/e2e/probes/input_probe.cpp)
and the GTK fixture application's state file."""

import json
import os
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import PROBES, LineProcess, TestCase, child_env, start_app, wait_until  # noqa: E402

PROBE = os.path.join(PROBES, "input_probe")
COMMAND = 0x100000
SHIFT = 0x20000


def probe(*args, desktop=True, timeout=60):
    proc = subprocess.run([PROBE, *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=timeout, env=child_env(desktop=desktop))
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


def ok(*args):
    status, out, err = probe(*args)
    assert status == 0, (args, status, out, err)
    return out


def keyboard_map():
    return subprocess.run(["xmodmap", "-pke"], stdout=subprocess.PIPE, check=True, text=True).stdout


def xdotool(*args):
    subprocess.run(["xdotool", *map(str, args)], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def centre(extents):
    x, y, w, h = extents
    return x + w // 2, y + h // 2


class InputOnFixture(TestCase):
    @classmethod
    def setUpClass(cls):
        import pyatspi
        cls.tmp = tempfile.mkdtemp(prefix="larkspire-input-")
        cls.state_path = os.path.join(cls.tmp, "state.json")
        cls.app = start_app([harness.fixture("fixture_app"), "--title", "Input target",
                             "--state-file", cls.state_path])
        wait_until(lambda: os.path.exists(cls.state_path), what="the fixture's state file")
        root = cls.root = harness.accessible_app(cls.app.pid)

        def extents(role, name):
            def find():
                node = harness.find_accessible(root, role, name)
                if node is None:
                    return None
                e = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
                return (e.x, e.y, e.width, e.height) if e.width > 1 else None
            return wait_until(find, what=f"{role} {name!r}")
        # The window manager places and decorates the window after it is
        # mapped: wait until the layout stops moving.
        first = extents("text", "Name")
        while True:
            time.sleep(0.3)
            again = extents("text", "Name")
            if again == first:
                break
            first = again
        cls.name_entry = first
        cls.notes_entry = extents("text", "Notes")
        cls.click_area = extents("label", "Click area")
        cls.pressed_label = extents("label", "Pressed 0")
        cls.rows = extents("scroll pane", None)

    @classmethod
    def tearDownClass(cls):
        cls.app.stop()

    def state(self):
        with open(self.state_path) as f:
            return json.load(f)

    def wait_state(self, predicate, what):
        return wait_until(lambda: (lambda s: s if predicate(s) else None)(self.state()), what=what)

    def focused(self, name):
        import pyatspi
        node = harness.find_accessible(self.root, "text", name)
        return node is not None and node.getState().contains(pyatspi.STATE_FOCUSED)

    def wait_focus(self, name):
        # The fixture's state file records focus changes one step late, so
        # the accessibility tree tells where the focus is.
        wait_until(lambda: self.focused(name), what=f"focus on {name}")

    def focus(self, extents, name):
        ok("click", *centre(extents))
        self.wait_focus(name)

    def clear(self, field):
        ok("key", 0, COMMAND)  # Mod+a
        ok("key", 51)          # Backspace
        self.wait_state(lambda s: s[field] == "", f"{field} cleared")

    def test_typed_text_arrives_intact_and_the_keyboard_map_is_restored(self):
        self.focus(self.name_entry, "Name")
        self.clear("name")
        before = keyboard_map()
        text = "héllo 日本 😀 Ünïcødé ß €!"
        ok("type", text)
        try:
            self.wait_state(lambda s: s["name"] == text, "typed text")
        except TimeoutError:
            self.assertEqual(self.state()["name"], text)
            raise
        self.assertEqual(keyboard_map(), before)

    def test_one_piece_with_repeated_missing_characters(self):
        self.focus(self.notes_entry, "Notes")
        self.clear("notes")
        before = keyboard_map()
        text = "ééé日日本本😀😀 Aa!"
        ok("type-piece", text)
        self.wait_state(lambda s: s["notes"] == text, "typed piece")
        self.assertEqual(keyboard_map(), before)

    def test_mod_a_then_backspace_clears_and_shift_tab_goes_back(self):
        self.focus(self.name_entry, "Name")
        ok("type", "to be cleared")
        self.wait_state(lambda s: s["name"].endswith("to be cleared"), "text to clear")
        self.clear("name")
        ok("key", 48)  # Tab
        self.wait_focus("Notes")
        ok("key", 48, SHIFT)  # Shift+Tab
        self.wait_focus("Name")

    def test_a_click_lands_at_its_point(self):
        before = self.state()["clicks"]
        ok("click", *centre(self.pressed_label))  # next to the area, not on it
        ok("click", *centre(self.click_area))
        self.wait_state(lambda s: s["clicks"] >= before + 1, "a click on the area")
        time.sleep(0.3)  # a stray second click would show by now
        self.assertEqual(self.state()["clicks"], before + 1)
        status, out, _ = probe("pointer")
        pointer = json.loads(out)
        self.assertEqual((pointer["x"], pointer["y"]), centre(self.click_area))
        self.assertEqual(pointer["buttons"], 0)

    def test_scroll_moves_the_view_and_leaves_the_pointer(self):
        xdotool("mousemove", 20, 20)
        start = self.state()["scroll"]
        ok("scroll", -120, *centre(self.rows))
        down = self.wait_state(lambda s: s["scroll"] > start, "scrolled down")["scroll"]
        ok("scroll", 120, *centre(self.rows))
        self.wait_state(lambda s: s["scroll"] < down, "scrolled up")
        pointer = json.loads(ok("pointer"))
        self.assertEqual((pointer["x"], pointer["y"]), (20, 20))

    def test_pointer_location_and_pressed_buttons(self):
        xdotool("mousemove", 123, 456)
        pointer = json.loads(ok("pointer"))
        self.assertEqual((pointer["x"], pointer["y"], pointer["buttons"]), (123, 456, 0))
        xdotool("mousedown", 1)
        try:
            self.assertEqual(json.loads(ok("pointer"))["buttons"], 1)
        finally:
            xdotool("mouseup", 1)
        self.assertEqual(json.loads(ok("pointer"))["buttons"], 0)


class Monitors(TestCase):
    def test_monitor_sees_clicks_with_their_count_and_key_presses_with_modifiers(self):
        with LineProcess([PROBE, "monitor", "60"]) as monitor:
            self.assertTrue(monitor.read()["ready"])
            xdotool("mousemove", 300, 200, "click", 1)
            time.sleep(0.6)  # longer than the double-click time: a new series
            xdotool("click", "--repeat", 2, "--delay", 60, 1)
            xdotool("key", "shift+Left")
            xdotool("key", "a")
            xdotool("key", "ctrl+a")
            events = []
            while len(events) < 9:
                line = monitor.read(timeout=20)
                self.assertIsNotNone(line, f"monitor ended early after {events}")
                events.append(line)
        clicks = [(e["event"], e["clickCount"]) for e in events[:6]]
        self.assertEqual(clicks, [("leftMouseDown", 1), ("leftMouseUp", 1),
                                  ("leftMouseDown", 1), ("leftMouseUp", 1),
                                  ("leftMouseDown", 2), ("leftMouseUp", 2)])
        self.assertEqual((events[0]["x"], events[0]["y"]), (300, 200))
        # The Shift key itself is no key press; the arrow pressed with it is.
        keys = [(e["event"], e["flags"]) for e in events[6:]]
        self.assertEqual(keys, [("keyDown", SHIFT), ("keyDown", 0), ("keyDown", COMMAND)])

    def test_presses_far_apart_are_single_clicks(self):
        with LineProcess([PROBE, "monitor", "60"]) as monitor:
            self.assertTrue(monitor.read()["ready"])
            xdotool("mousemove", 300, 200, "click", 1)
            xdotool("mousemove", 340, 200, "click", 1)  # quick, but 40 px away
            downs = []
            while len(downs) < 2:
                line = monitor.read(timeout=20)
                self.assertIsNotNone(line)
                if line["event"] == "leftMouseDown":
                    downs.append(line["clickCount"])
        self.assertEqual(downs, [1, 1])


class WithoutDisplay(TestCase):
    def test_events_and_monitors_are_unavailable(self):
        for args in (("type", "x"), ("key", 36), ("click", 1, 1), ("scroll", 50, 1, 1), ("monitor", 1)):
            status, out, err = probe(*args, desktop=False)
            self.assertEqual(status, 3, args)


if __name__ == "__main__":
    unittest.main()
