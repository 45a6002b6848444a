"""The selection observer on a real desktop: a GTK fixture application driven
by a synthetic user (xdotool), the observer's JSON lines read as they come."""

import subprocess
import time
import unittest

import harness
from harness import LineProcess, TestCase, start_app


def xdotool(*args):
    subprocess.run(["xdotool", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def focus_window(window):
    xdotool("windowactivate", "--sync", str(window))
    time.sleep(0.3)


def observer(*args):
    return LineProcess([harness.OBSERVER, *args])


def lines_within(process, seconds):
    """Every line the observer writes within the given time."""
    lines = []
    deadline = time.monotonic() + seconds
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return lines
        try:
            line = process.read(timeout=left)
        except TimeoutError:
            return lines
        if line is None:
            return lines
        lines.append(line)


def next_of_type(process, kind, timeout=10):
    deadline = time.monotonic() + timeout
    while True:
        line = process.read(timeout=max(0.1, deadline - time.monotonic()))
        if line is None:
            raise AssertionError(f"observer ended before a {kind!r} line")
        if line.get("type") == kind:
            return line


class ObserverOnDesktop(TestCase):
    def test_keyboard_selection_is_reported_and_cleared(self):
        with start_app("fixture_app") as app, observer() as watcher:
            first = watcher.read(timeout=10)
            self.assertEqual(first, {"type": "permission", "granted": True})
            focus_window(app.window)
            xdotool("key", "Tab")
            xdotool("type", "--delay", "20", "hello world")
            time.sleep(0.5)
            xdotool("key", "ctrl+a")
            selection = next_of_type(watcher, "selection")
            self.assertEqual(selection["text"], "hello world")
            self.assertEqual(selection["sourcePid"], app.pid)
            self.assertGreater(selection["bounds"]["width"], 0)
            self.assertGreater(selection["bounds"]["height"], 0)
            # Moving the caret removes the selection: one clear.
            xdotool("key", "End")
            self.assertEqual(next_of_type(watcher, "clear"), {"type": "clear"})
            # Shift+Left grows a new selection from the end.
            xdotool("key", "shift+Left")
            self.assertEqual(next_of_type(watcher, "selection")["text"], "d")
            xdotool("key", "shift+Left")
            self.assertEqual(next_of_type(watcher, "selection")["text"], "ld")

    def test_password_selection_is_never_reported(self):
        with start_app([harness.fixture("fixture_app"), "--password", "--focus-password"]) as app, \
                observer() as watcher:
            self.assertEqual(watcher.read(timeout=10)["type"], "permission")
            focus_window(app.window)
            xdotool("type", "--delay", "20", "hunter2")
            xdotool("key", "ctrl+a")
            self.assertEqual([l for l in lines_within(watcher, 2.5) if l["type"] == "selection"], [])

    def test_ignored_application_is_left_alone(self):
        with start_app("fixture_app") as app, observer("--ignore-pid", str(app.pid)) as watcher:
            self.assertEqual(watcher.read(timeout=10)["type"], "permission")
            focus_window(app.window)
            xdotool("key", "Tab")
            xdotool("type", "--delay", "20", "quiet")
            xdotool("key", "ctrl+a")
            self.assertEqual(lines_within(watcher, 2.5), [])

    def test_check_permission_writes_one_line(self):
        with start_app("fixture_app"):
            with observer("--check-permission") as check:
                status, rest, err = check.wait(timeout=20)
            self.assertEqual(status, 0)
            lines = rest.decode().splitlines()
            self.assertEqual(len(lines), 1)
            self.assertEqual(set(harness.json.loads(lines[0])), {"type", "granted"})


if __name__ == "__main__":
    unittest.main()
