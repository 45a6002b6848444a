"""The selection observer's two diagnostic modes on a real desktop: the tree
dump and the selection watch of the GTK fixture application."""

import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import TestCase, child_env, start_app, wait_until  # noqa: E402
from test_desktop_observer import focus_window  # noqa: E402

NODE = re.compile(r"^(?P<indent> *)\[(?P<depth>\d+)\] (?P<role>\S+) selected=(?P<selected>\S+) "
                  r"(?P<marker>marker|-) markerText=(?P<markerText>\S+) rangeText=(?P<rangeText>\S+)$")
CHARACTERS = len("The quick brown fox jumps over the lazy dog.\nSecond line of text.")


def run_observer(*args, timeout=60):
    proc = subprocess.run([harness.OBSERVER, *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=timeout, env=child_env())
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


class DiagnosticModes(TestCase):
    @classmethod
    def setUpClass(cls):
        cls.app = start_app([harness.fixture("fixture_app"), "--title", "Diagnostics"])
        root = harness.accessible_app(cls.app.pid)
        cls.view = wait_until(lambda: harness.find_accessible(root, "text", "Text"), what="the text view")

    @classmethod
    def tearDownClass(cls):
        cls.app.stop()

    def setUp(self):
        focus_window(self.app.window)
        self.select(0, 0)

    def select(self, start, end):
        text = self.view.queryText()
        if start == end:
            for i in range(text.getNSelections()):
                text.removeSelection(0)
        elif text.getNSelections() > 0:
            text.setSelection(0, start, end)
        else:
            text.addSelection(start, end)

    def test_dump_prints_the_tree_breadth_first_with_the_selection(self):
        self.select(4, 9)  # "quick"
        status, out, err = run_observer("--dump-pid", self.app.pid)
        self.assertEqual(status, 0)
        self.assertEqual(err, "")
        lines = out.splitlines()
        self.assertEqual(lines[0], "root = AXFocusedWindow")

        nodes, text_area = [], None
        for i, line in enumerate(lines[1:], 1):
            if line.lstrip().startswith(("attrs: ", "params: ")):
                continue
            match = NODE.match(line)
            self.assertIsNotNone(match, f"line {i}: {line!r}")
            depth = int(match["depth"])
            self.assertEqual(len(match["indent"]), 2 * depth, line)
            nodes.append(match)
            if match["role"] == "AXTextArea":
                text_area = i
        self.assertEqual((nodes[0]["depth"], nodes[0]["role"]), ("0", "AXWindow"))
        depths = [int(n["depth"]) for n in nodes]
        self.assertEqual(depths, sorted(depths), "the walk is breadth first")
        # The fixture's rows and labels are all there (its tree is far below
        # the 4000-element limit).
        self.assertGreaterEqual(sum(n["role"] == "AXStaticText" for n in nodes), 100)

        self.assertIsNotNone(text_area, "the text view is in the dump")
        node = NODE.match(lines[text_area])
        self.assertEqual((node["selected"], node["marker"], node["markerText"], node["rangeText"]),
                         ("LEN=5", "-", "-", "RLEN=5"))
        # A text area also lists what it offers.
        indent = node["indent"] + "    "
        attrs = lines[text_area + 1]
        self.assertTrue(attrs.startswith(indent + "attrs: "), attrs)
        names = attrs[len(indent + "attrs: "):].split(", ")
        for name in ("AXRole", "AXSelectedText", "AXSelectedTextRange", "AXNumberOfCharacters"):
            self.assertIn(name, names)
        params = lines[text_area + 2]
        self.assertTrue(params.startswith(indent + "params: "), params)
        self.assertEqual(set(params[len(indent + "params: "):].split(", ")),
                         {"AXStringForRange", "AXBoundsForRange"})
        # Only text areas and web areas list their attributes.
        self.assertEqual(sum("attrs: " in line for line in lines), 1)

    def test_dump_of_a_process_without_windows(self):
        ended = subprocess.Popen(["true"])
        ended.wait()
        status, out, _ = run_observer("--dump-pid", ended.pid)
        self.assertEqual(status, 0)
        self.assertEqual(out, f"pid {ended.pid}: 既无 AXFocusedWindow 也无 AXWindows（app 元素 role=nil）\n")

    def test_watch_prints_each_new_picture_of_the_text_area_once(self):
        watch = subprocess.Popen([harness.OBSERVER, "--watch-pid", str(self.app.pid), "4.9"],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env())
        try:
            first = watch.stdout.readline().decode()
            self.assertEqual(first, f"watching pid {self.app.pid} for 4s — 现在去那个应用里选中一段文字\n")
            time.sleep(1.5)  # a few passes over the unchanged tree
            self.select(4, 9)
            out, err = watch.communicate(timeout=60)
        finally:
            harness.terminate(watch)
        self.assertEqual(watch.returncode, 0)
        self.assertEqual(err, b"")
        lines = out.decode().splitlines()
        self.assertEqual(lines[-1], "done")
        pictures = lines[:-1]
        # Before the selection: a caret and no selected text; after it, the
        # five characters of "quick". Each picture is printed once.
        self.assertEqual(len(pictures), 2, pictures)
        self.assertRegex(pictures[0], rf"^AXTextArea: AXSelectedText=empty range\[loc=\d+ len=0\] "
                                      rf"AXStringForRange=empty chars={CHARACTERS}$")
        self.assertEqual(pictures[1], f"AXTextArea: AXSelectedText=LEN=5 range[loc=4 len=5] "
                                      f"AXStringForRange=RLEN=5 chars={CHARACTERS}")


if __name__ == "__main__":
    unittest.main()
