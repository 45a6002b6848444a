"""The selection observer on a real desktop, selections made with the mouse:
a drag over the fixture's text view, double clicks on a word and a plain
click that removes the selection. xdotool plays the user; where to press is
found through the text view's character extents on the accessibility bus."""

import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import LineProcess, TestCase, start_app, wait_until  # noqa: E402
from test_desktop_observer import focus_window, lines_within, next_of_type, xdotool  # noqa: E402

TEXT = "The quick brown fox jumps over the lazy dog.\nSecond line of text."
QUICK_BROWN = (4, 15)  # "quick brown"
FOX = (16, 19)


class TextView:
    """The fixture's text view as the accessibility bus shows it."""

    def __init__(self, pid):
        self.root = harness.accessible_app(pid)
        self.node = wait_until(lambda: harness.find_accessible(self.root, "text", "Text"),
                               what="the fixture's text view")
        # The window manager places and decorates the window after it is
        # mapped: wait until the text stops moving.
        first = self.extents(0)
        while True:
            time.sleep(0.3)
            again = self.extents(0)
            if again == first and again[2] > 0:
                break
            first = again

    def extents(self, offset):
        """(x, y, width, height) of one character in screen coordinates."""
        import pyatspi
        return tuple(self.node.queryText().getCharacterExtents(offset, pyatspi.DESKTOP_COORDS))

    def range_extents(self, start, end):
        import pyatspi
        return tuple(self.node.queryText().getRangeExtents(start, end, pyatspi.DESKTOP_COORDS))

    def point_before(self, offset):
        """A point in the left half of a character: a press there puts the
        caret before it."""
        x, y, w, h = self.extents(offset)
        return x + max(1, w // 4), y + h // 2

    def point_inside(self, offset):
        x, y, w, h = self.extents(offset)
        return x + w // 2, y + h // 2


def drag(start, end, steps=8):
    """Presses the left button at start, moves in steps to end, releases."""
    xdotool("mousemove", str(start[0]), str(start[1]))
    xdotool("mousedown", "1")
    for i in range(1, steps + 1):
        x = start[0] + (end[0] - start[0]) * i // steps
        y = start[1] + (end[1] - start[1]) * i // steps
        xdotool("mousemove", str(x), str(y))
        time.sleep(0.02)
    xdotool("mouseup", "1")


def double_click(point):
    xdotool("mousemove", str(point[0]), str(point[1]))
    xdotool("click", "--repeat", "2", "--delay", "80", "1")


class PointerSelections(TestCase):
    def setUp(self):
        # The fixture's desktop entry lets the observer name the application.
        env = harness.fixture_entry_env()
        self.app = start_app([harness.fixture("fixture_app"), "--title", "Pointer selection"], env=env)
        self.addCleanup(self.app.stop)
        self.view = TextView(self.app.pid)
        self.watcher = LineProcess([harness.OBSERVER], env=env)
        self.addCleanup(self.watcher.stop)
        self.assertEqual(self.watcher.read(timeout=15), {"type": "permission", "granted": True})
        focus_window(self.app.window)
        # A first click into the text view: GTK does a lot of one-time work
        # on its first press, and an observer poll that is in flight then
        # may wait for GTK long enough to read a drag's first characters.
        click_at = self.view.point_inside(TEXT.index("line"))
        xdotool("mousemove", str(click_at[0]), str(click_at[1]))
        xdotool("click", "1")
        self.assertEqual(lines_within(self.watcher, 1.0), [])

    def reasons(self):
        """Stops the observer; the reasons of its reports, in order, and its
        standard error."""
        harness.terminate(self.watcher.proc)
        err = self.watcher.proc.stderr.read().decode()
        return re.findall(r"^emit via \S+ \((\w+)\)", err, re.M), err

    def assertOneSelection(self, lines, text):
        """lines: what the observer wrote after one selecting gesture. One
        selection with this text; the only repeat allowed is the one a
        gesture forces when its mouse release reached the observer after a
        poll had already read the selection it made (standard error then
        shows the report before the release)."""
        self.assertTrue(lines, "no selection line")
        for line in lines:
            self.assertEqual(line.get("type"), "selection", lines)
            self.assertEqual(line, lines[0])
        self.assertEqual(lines[0]["text"], text)
        reasons, err = self.reasons()
        self.assertEqual(len(reasons), len(lines), err)
        self.assertEqual(reasons[0], "changed", err)
        if len(lines) > 1:
            self.assertEqual(reasons[1:], ["gesture"] * (len(lines) - 1), err)
            self.assertLess(err.index("emit via"), err.index("mouseUp: gesture=true"), err)

    def assertBoundsNear(self, bounds, extents):
        x, y, width, height = extents
        self.assertEqual(set(bounds), {"x", "y", "width", "height"})
        for key, expected in zip(("x", "y", "width", "height"), (x, y, width, height)):
            self.assertAlmostEqual(bounds[key], expected, delta=1.0, msg=f"{key} of {bounds} vs {extents}")

    def test_drag_over_text_is_reported_once(self):
        drag(self.view.point_before(QUICK_BROWN[0]), self.view.point_before(QUICK_BROWN[1]))
        selection = next_of_type(self.watcher, "selection", timeout=15)
        self.assertEqual(selection["text"], "quick brown")
        self.assertEqual(selection["sourcePid"], self.app.pid)
        self.assertEqual(selection["sourceApp"], "org.example.Fixture")
        self.assertNotIn("sourceUrl", selection)
        self.assertBoundsNear(selection["bounds"], self.view.range_extents(*QUICK_BROWN))
        # The rest of the burst and the slow polls that follow write nothing:
        # the selection is unchanged and no other gesture came.
        self.assertOneSelection([selection] + lines_within(self.watcher, 2.5), "quick brown")

    def test_double_click_selects_a_word_and_a_plain_click_clears_it(self):
        double_click(self.view.point_inside(FOX[0] + 1))
        selection = next_of_type(self.watcher, "selection", timeout=15)
        self.assertEqual(selection["text"], "fox")
        self.assertEqual(selection["sourcePid"], self.app.pid)
        self.assertBoundsNear(selection["bounds"], self.view.range_extents(*FOX))
        # GTK selects the word on the second press, so a poll of the first
        # click's burst may read it before the second release arrives.
        repeats = lines_within(self.watcher, 1.5)
        for line in repeats:
            self.assertEqual(line, selection)

        # A plain click on the second line removes the selection: one clear.
        second_line = self.view.point_inside(TEXT.index("Second") + 2)
        xdotool("mousemove", str(second_line[0]), str(second_line[1]))
        xdotool("click", "1")
        self.assertEqual(self.watcher.read(timeout=15), {"type": "clear"})
        self.assertEqual(lines_within(self.watcher, 1.5), [])

        # Double-clicking the word again selects it again and reports it again.
        double_click(self.view.point_inside(FOX[0] + 1))
        self.assertEqual(next_of_type(self.watcher, "selection", timeout=15)["text"], "fox")
        # Any repeat of the first word was the second click's forced report.
        reasons, err = self.reasons()
        self.assertEqual(reasons[:1 + len(repeats)], ["changed"] + ["gesture"] * len(repeats), err)

    def test_drag_after_a_drag_reports_the_new_selection(self):
        drag(self.view.point_before(QUICK_BROWN[0]), self.view.point_before(QUICK_BROWN[1]))
        self.final_selection("quick brown")
        lazy_dog = (TEXT.index("lazy"), TEXT.index("."))
        drag(self.view.point_before(lazy_dog[0]), self.view.point_before(lazy_dog[1]))
        # Pressing outside the old selection removes it and nothing is read
        # while the button is held, so the new selection follows (a clear
        # comes first only if a poll was reading right when the button went
        # down).
        line = self.final_selection("lazy dog")
        self.assertBoundsNear(line["bounds"], self.view.range_extents(*lazy_dog))

    def final_selection(self, expected):
        """The drag's selection. On a loaded machine a poll of the burst may
        read the selection while the application is still extending it, and
        the burst then reports the grown one too: only the last one counts."""
        deadline = time.monotonic() + 15
        while True:
            line = self.watcher.read(timeout=max(0.1, deadline - time.monotonic()))
            self.assertIsNotNone(line, f"no selection {expected!r} reported")
            if line.get("type") == "selection" and line["text"] == expected:
                return line
            self.assertLess(time.monotonic(), deadline, f"the last line was {line!r}")


if __name__ == "__main__":
    unittest.main()
