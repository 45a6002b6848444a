"""The Linux accessibility service against real GTK programs on a headless
desktop, driven through tests/e2e/probes/atspi_probe: what it reports must be
true of the window, and what it does must reach the application."""

import json
import os
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (PROBES, TestCase, accessible_app, child_env, find_accessible, fixture, fresh_path,  # noqa: E402
                     has_tool, start_app, wait_until, window_geometry)

PROBE = os.path.join(PROBES, "atspi_probe")

INVALID_UI_ELEMENT = -25202
CANNOT_COMPLETE = -25204
NO_VALUE = -25212


def probe(*args, timeout=30):
    out = subprocess.run([PROBE, *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         timeout=timeout, env=child_env())
    assert out.stderr == b"", out.stderr
    return json.loads(out.stdout)


def nodes(tree):
    yield tree
    for child in tree["children"]:
        yield from nodes(child)


def by_title(tree, title):
    return next(n for n in nodes(tree) if n["title"] == title)


class FixtureApp:
    """fixture_app with a state file, waited for on the accessibility bus."""

    def __init__(self, *args):
        self.state_path = fresh_path("larkspire-state-")
        self.app = start_app([fixture("fixture_app"), "--state-file", self.state_path, *args])
        self.pid = self.app.pid
        accessible_app(self.pid)
        wait_until(lambda: os.path.exists(self.state_path), what="state file")

    def state(self):
        with open(self.state_path) as f:
            return json.load(f)

    def stop(self):
        self.app.stop()
        if os.path.exists(self.state_path):
            os.unlink(self.state_path)


class FixtureTree(TestCase):
    @classmethod
    def setUpClass(cls):
        cls.fx = FixtureApp("--password")
        # The tree is read once the window is shown and laid out.
        cls.tree = wait_until(lambda: cls._laid_out(probe("tree", cls.fx.pid)), what="laid-out tree")

    @staticmethod
    def _laid_out(tree):
        try:
            return tree if "bounds" in by_title(tree, "Press me") else None
        except StopIteration:
            return None

    @classmethod
    def tearDownClass(cls):
        cls.fx.stop()

    def test_application_and_window(self):
        self.assertEqual(self.tree["role"], "AXApplication")
        windows = [n for n in self.tree["children"]]
        self.assertEqual([w["role"] for w in windows], ["AXWindow"])
        window = windows[0]
        self.assertEqual(window["title"], "Fixture")
        self.assertEqual(window["actions"], ["AXRaise"])
        # The window's rectangle is the frame around the X client window.
        x, y, w, h = window_geometry(self.fx.app.window)
        b = window["bounds"]
        self.assertLessEqual(b["x"], x)
        self.assertLessEqual(b["y"], y)
        self.assertGreaterEqual(b["x"] + b["width"], x + w)
        self.assertGreaterEqual(b["y"] + b["height"], y + h)
        self.assertLess(b["width"] - w, 40)
        self.assertLess(b["height"] - h, 60)

    def test_widgets_read_in_our_vocabulary(self):
        expected = {
            "Press me": ("AXButton", ["AXPress"], False),
            "Option": ("AXCheckBox", ["AXPress"], False),
            "Pressed 0": ("AXStaticText", [], False),
            "Click area": ("AXStaticText", [], False),
            "Name": ("AXTextField", ["AXConfirm"], True),
            "Notes": ("AXTextField", ["AXConfirm"], True),
            "Text": ("AXTextArea", [], True),
        }
        for title, (role, actions, settable) in expected.items():
            with self.subTest(title=title):
                node = by_title(self.tree, title)
                self.assertEqual(node["role"], role)
                self.assertEqual(node["actions"], actions)
                self.assertEqual(node["settable"], settable)
                self.assertNotIn("subrole", node)
                self.assertNotIn("protected", node)

    def test_bounds_match_what_atspi_reports_and_lie_in_the_window(self):
        import pyatspi
        app = accessible_app(self.fx.pid)
        window = by_title(self.tree, "Fixture")["bounds"]
        for title, role in (("Press me", "push button"), ("Name", "text"), ("Option", "check box")):
            with self.subTest(title=title):
                node = by_title(self.tree, title)
                e = find_accessible(app, role=role, name=title).queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
                self.assertEqual(node["bounds"], {"x": e.x, "y": e.y, "width": e.width, "height": e.height})
                b = node["bounds"]
                self.assertGreater(b["width"], 0)
                self.assertGreaterEqual(b["x"], window["x"])
                self.assertLessEqual(b["y"] + b["height"], window["y"] + window["height"])

    def test_rows_scrolled_out_of_view_have_no_rectangle(self):
        first, last = by_title(self.tree, "Row 1"), by_title(self.tree, "Row 100")
        self.assertIn("bounds", first)
        self.assertNotIn("bounds", last)
        self.assertEqual(last["boundsError"], NO_VALUE)

    def test_password_entry_is_a_secure_text_field(self):
        node = by_title(self.tree, "Password")
        self.assertEqual(node["role"], "AXTextField")
        self.assertEqual(node["subrole"], "AXSecureTextField")
        self.assertIs(node["protected"], True)

    def test_attribute_names_of_a_text_view(self):
        names = probe("names", self.fx.pid, "Text")
        for name in ("AXRole", "AXValue", "AXSelectedText", "AXSelectedTextRange", "AXNumberOfCharacters"):
            self.assertIn(name, names["attributes"])
        self.assertEqual(names["parameterized"], ["AXStringForRange", "AXBoundsForRange"])
        self.assertNotIn("AXProtectedContent", names["attributes"])


class FixtureActions(TestCase):
    def setUp(self):
        self.fx = FixtureApp("--password")

    def tearDown(self):
        self.fx.stop()

    def test_press_activates_the_button(self):
        self.assertEqual(probe("press", self.fx.pid, "Press me"), {"error": 0})
        wait_until(lambda: self.fx.state()["pressed"] == 1, what="press counted")
        tree = wait_until(lambda: (lambda t: t if any(n["title"] == "Pressed 1" for n in nodes(t)) else None)(
            probe("tree", self.fx.pid)), what="label updated")
        self.assertFalse(any(n["title"] == "Pressed 0" for n in nodes(tree)))

    def test_press_on_an_element_without_it_is_refused_and_changes_nothing(self):
        self.assertEqual(probe("press", self.fx.pid, "Click area"), {"error": -25206})
        time.sleep(0.3)
        self.assertEqual(self.fx.state()["clicks"], 0)

    def test_setting_a_value_replaces_the_entry_text(self):
        text = "Grüße, 世界 👋"
        result = probe("set-value", self.fx.pid, "Name", text)
        self.assertEqual(result, {"error": 0, "value": text})
        wait_until(lambda: self.fx.state()["name"] == text, what="entry text")
        self.assertEqual(self.fx.state()["notes"], "")

    def test_setting_a_value_where_none_is_settable_fails(self):
        result = probe("set-value", self.fx.pid, "Press me", "x")
        self.assertNotEqual(result["error"], 0)

    def test_an_element_of_an_application_that_ended_is_invalid(self):
        with subprocess.Popen([PROBE, "hold", str(self.fx.pid), "Press me"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env()) as p:
            self.assertEqual(json.loads(p.stdout.readline()), {"before": "AXButton"})
            os.kill(self.fx.pid, signal.SIGKILL)
            self.fx.app.proc.wait()
            time.sleep(1.2)  # past the moment a read is remembered
            out, err = p.communicate(b"\n", timeout=30)
        self.assertEqual(err, b"")
        after = json.loads(out)
        self.assertEqual(after["after"], {"error": INVALID_UI_ELEMENT})
        self.assertEqual(after["press"], INVALID_UI_ELEMENT)

    def test_a_process_without_an_application_fails_reads(self):
        out = probe("windows", 999999)
        self.assertEqual(out["windowsError"], CANNOT_COMPLETE)
        self.assertEqual(out["windows"], [])


class FocusAndWindows(TestCase):
    def test_focused_password_entry_reads_as_secure(self):
        fx = FixtureApp("--focus-password")
        try:
            out = wait_until(lambda: (lambda o: o if "focusedElement" in o else None)(probe("windows", fx.pid)),
                             what="focused element")
            self.assertEqual(out["focusedWindow"], "Fixture")
            focused = out["focusedElement"]
            self.assertEqual(focused["title"], "Password")
            self.assertEqual(focused["subrole"], "AXSecureTextField")
        finally:
            fx.stop()

    def test_windows_focus_and_raise(self):
        fx = FixtureApp("--second-window")
        try:
            out = wait_until(lambda: (lambda o: o if len(o["windows"]) == 2 and "focusedWindow" in o else None)(
                probe("windows", fx.pid)), what="two windows")
            self.assertEqual(sorted(w["title"] for w in out["windows"]), ["Fixture", "Fixture 2"])
            self.assertEqual(out["windows"][out["focusedWindowIndex"]]["title"], out["focusedWindow"])
            other = "Fixture 2" if out["focusedWindow"] == "Fixture" else "Fixture"
            self.assertEqual(probe("raise", fx.pid, other), {"error": 0})
            wait_until(lambda: probe("windows", fx.pid).get("focusedWindow") == other, what="raised window focused")
        finally:
            fx.stop()


class Selection(TestCase):
    def setUp(self):
        self.fx = FixtureApp()

    def tearDown(self):
        self.fx.stop()

    def select(self, start, end):
        import pyatspi
        app = accessible_app(self.fx.pid)
        view = find_accessible(app, role="text", name="Text")
        text = view.queryText()
        if text.getNSelections() > 0:
            text.setSelection(0, start, end)
        else:
            text.addSelection(start, end)

    def test_selection_in_a_text_view(self):
        self.select(4, 9)
        out = wait_until(lambda: (lambda o: o if o["selectedText"] == "quick" else None)(
            probe("selected", self.fx.pid, "Text")), what="selection read back")
        self.assertEqual(out["role"], "AXTextArea")
        self.assertEqual(out["range"], {"location": 4, "length": 5})
        self.assertEqual(out["stringForRange"], "quick")
        self.assertEqual(out["characters"], 65)
        self.assertEqual(out["url"], {"error": -25205})
        rect, view = out["boundsForRange"], out["bounds"]
        self.assertGreater(rect["width"], 0)
        self.assertGreater(rect["height"], 0)
        self.assertGreaterEqual(rect["x"], view["x"])
        self.assertGreaterEqual(rect["y"], view["y"])
        self.assertLessEqual(rect["x"] + rect["width"], view["x"] + view["width"])
        self.assertLessEqual(rect["y"] + rect["height"], view["y"] + view["height"])

    def test_selection_across_lines_counts_characters(self):
        self.select(40, 51)
        out = wait_until(lambda: (lambda o: o if o["range"].get("length") == 11 else None)(
            probe("selected", self.fx.pid, "Text")), what="selection read back")
        self.assertEqual(out["selectedText"], "dog.\nSecond")
        self.assertEqual(out["stringForRange"], "dog.\nSecond")

    def test_no_selection_is_empty_text_at_the_caret(self):
        out = probe("selected", self.fx.pid, "Text")
        self.assertEqual(out["selectedText"], "")
        self.assertEqual(out["range"]["length"], 0)


@unittest.skipUnless(has_tool("zenity"), "zenity is not installed")
class RealApplication(TestCase):
    """zenity, a GTK program this project did not write."""

    def test_fill_and_confirm_an_entry_dialog(self):
        proc = subprocess.Popen(["zenity", "--entry", "--title", "Question", "--text", "Your name"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=child_env())
        try:
            accessible_app(proc.pid)
            tree = wait_until(lambda: (lambda t: t if any(n["role"] == "AXButton" and "bounds" in n
                                                          for n in nodes(t)) else None)(probe("tree", proc.pid)),
                              what="zenity dialog")
            window = tree["children"][0]
            self.assertEqual(window["role"], "AXWindow")
            self.assertEqual(window["title"], "Question")
            buttons = {n["title"]: n for n in nodes(tree) if n["role"] == "AXButton"}
            self.assertIn("OK", buttons)
            self.assertIn("Cancel", buttons)
            self.assertIn("AXPress", buttons["OK"]["actions"])
            fields = [n for n in nodes(tree) if n["role"] == "AXTextField"]
            self.assertEqual(len(fields), 1)
            self.assertTrue(fields[0]["settable"])
            self.assertEqual(probe("set-value", proc.pid, "role:AXTextField", "Ada")["error"], 0)
            self.assertEqual(probe("press", proc.pid, "OK"), {"error": 0})
            out, _ = proc.communicate(timeout=20)
            self.assertEqual(out, b"Ada\n")
            self.assertEqual(proc.returncode, 0)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()


if __name__ == "__main__":
    unittest.main()
