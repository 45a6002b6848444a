"""Web pages in real browsers (Debian's chromium and firefox-esr), with their
accessibility switched on the documented way: the selection observer reports
the words a user selects (a double click on a word, a drag over a link into
the next paragraph, Ctrl+A) with the page's address and bounds within the
selected words, and "observe" inventories a page and refuses one with a
password field. The pages are local files (tests/e2e/pages).

Word positions come from the browser's own accessibility tree (pyatspi), the
way a screen reader would find them; everything checked comes from our
programs."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import harness
from harness import LineProcess, TestCase, run_computer

PAGES = os.path.join(harness.SOURCE, "tests", "e2e", "pages")
PAGE_URL = "file://" + os.path.join(PAGES, "page.html")
PASSWORD_URL = "file://" + os.path.join(PAGES, "password.html")

FIRST = "In the morning the garden smelled of marigold and wet earth, before the bees arrived in numbers."
SECOND = "Later the wind came through the hedge and scattered petals."


def xdotool(*args):
    subprocess.run(["xdotool", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def chromium(url, profile):
    # As root on a closed network: no sandbox, no GPU, nothing fetched.
    return [shutil.which("chromium"), "--no-sandbox", "--disable-gpu", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--force-renderer-accessibility", "--user-data-dir=" + profile, url], {}


def firefox(url, profile):
    return [shutil.which("firefox-esr"), "--no-remote", "--profile", profile, url], \
        {"GNOME_ACCESSIBILITY": "1", "MOZ_ENABLE_WAYLAND": "0"}


def documents(pid):
    """The browser's web documents (pyatspi), found by a walk of its tree."""
    app = harness.accessible_app(pid, timeout=60)
    found = []

    def walk(node, depth):
        if node is None or depth > 40:
            return
        try:
            if node.getRoleName() == "document web":
                found.append(node)
                return
            for i in range(node.childCount):
                walk(node.getChildAtIndex(i), depth + 1)
        except Exception:
            return
    walk(app, 0)
    return found


def paragraph_with(document, words):
    def walk(node, depth):
        if node is None or depth > 20:
            return None
        try:
            if node.getRoleName() == "paragraph" and words in node.queryText().getText(0, -1):
                return node
            for i in range(node.childCount):
                hit = walk(node.getChildAtIndex(i), depth + 1)
                if hit is not None:
                    return hit
        except Exception:
            return None
        return None
    return walk(document, 0)


def word_extents(paragraph, word, last=False, through=None):
    """(x, y, width, height) on screen of a word of a paragraph (of its last
    character when last is true; up to the end of the word `through` when
    given), as the browser reports it."""
    import pyatspi
    text = paragraph.queryText()
    whole = text.getText(0, -1)
    start = whole.index(word)
    end = start + len(word)
    if through is not None:
        end = whole.index(through, start) + len(through)
    if last:
        start = end - 1
    e = text.getRangeExtents(start, end, pyatspi.DESKTOP_COORDS)
    return e[0], e[1], e[2], e[3]


class Browser:
    """A browser showing a local page, its window activated."""

    def __init__(self, kind, url):
        self.profile = tempfile.mkdtemp(prefix="larkspire-browser-")
        argv, env = kind(url, self.profile)
        self.app = harness.start_app(argv, env=env, timeout=90)
        try:
            self.document = harness.wait_until(lambda: self._shown_document(), 90, interval=0.5,
                                               what="the page in the accessibility tree")
        except BaseException:
            self.stop()
            raise

    def _shown_document(self):
        # The page is ready once its first paragraph is laid out on screen.
        for document in documents(self.app.pid):
            paragraph = paragraph_with(document, "")
            if paragraph is not None and word_extents(paragraph, paragraph.queryText().getText(0, 2))[2] > 0:
                return document
        return None

    def stop(self):
        self.app.stop()
        shutil.rmtree(self.profile, ignore_errors=True)


def settled_selection(watcher, timeout=15, quiet=1.0):
    """The last selection line of a gesture's reports, once the observer has
    been quiet for a second, and every selection line it wrote. A browser's
    accessibility answers follow the screen a little late, so the polls of a
    gesture's burst may see a selection still in the making first."""
    deadline = time.monotonic() + timeout
    seen = []
    while True:
        try:
            wait = quiet if seen else max(0.1, deadline - time.monotonic())
            line = watcher.read(timeout=wait)
        except TimeoutError:
            if seen:
                return seen[-1], seen
            raise AssertionError("no selection line")
        if line is None:
            raise AssertionError(f"observer ended; selections so far: {seen}")
        if line.get("type") == "selection":
            seen.append(line)


def inside(bounds, rect, slack=2):
    """Whether a bounds object lies within rectangle (x, y, w, h), give or
    take a few pixels for rounding."""
    x, y, w, h = rect
    return (bounds["x"] >= x - slack and bounds["y"] >= y - slack
            and bounds["x"] + bounds["width"] <= x + w + slack
            and bounds["y"] + bounds["height"] <= y + h + slack)


def union(*rects):
    x = min(r[0] for r in rects)
    y = min(r[1] for r in rects)
    right = max(r[0] + r[2] for r in rects)
    bottom = max(r[1] + r[3] for r in rects)
    return x, y, right - x, bottom - y


class SelectionsInAPage:
    """The same user, the same page, in each browser."""

    KIND = None

    @classmethod
    def setUpClass(cls):
        harness.set_accessibility_enabled(True)
        cls.browser = Browser(cls.KIND, PAGE_URL)

    @classmethod
    def tearDownClass(cls):
        cls.browser.stop()

    def test_selections_report_the_selected_words(self):
        document = self.browser.document
        # A walk of a tree the browser is still updating may miss; ask again.
        first = harness.wait_until(lambda: paragraph_with(document, "marigold"), 20, what="first paragraph")
        second = harness.wait_until(lambda: paragraph_with(document, "Later the wind"), 20,
                                    what="second paragraph")
        with LineProcess([harness.OBSERVER]) as watcher:
            self.assertEqual(watcher.read(timeout=20)["type"], "permission")

            # A double click on a word.
            word = word_extents(first, "marigold")
            xdotool("mousemove", str(word[0] + word[2] // 2), str(word[1] + word[3] // 2))
            xdotool("click", "--repeat", "2", "--delay", "80", "1")
            selection, seen = settled_selection(watcher)
            self.assertEqual(selection["text"], "marigold")
            self.assertEqual(selection["sourceUrl"], PAGE_URL)
            self.assertEqual(selection["sourcePid"], self.browser.app.pid)
            self.assertTrue(inside(selection["bounds"], word), (selection["bounds"], word))
            self.assertGreater(selection["bounds"]["width"], word[2] / 2)

            # A drag from "before" over the link to the end of "wind" in the
            # next paragraph, once the double click is long past.
            time.sleep(0.6)
            start = word_extents(first, "before")
            end = word_extents(second, "wind", last=True)
            y0 = start[1] + start[3] // 2
            xdotool("mousemove", str(start[0] + 1), str(y0), "mousedown", "1")
            for step in range(1, 11):
                x = start[0] + 1 + (end[0] + end[2] - 1 - start[0] - 1) * step // 10
                y = y0 + (end[1] + end[3] // 2 - y0) * step // 10
                xdotool("mousemove", str(x), str(y))
                time.sleep(0.03)
            xdotool("mouseup", "1")
            selection, more = settled_selection(watcher)
            seen += more
            self.assertEqual(selection["text"], "before the bees arrived in numbers.\nLater the wind")
            self.assertEqual(selection["sourceUrl"], PAGE_URL)
            spanned = union(word_extents(first, "before", through="numbers."),
                            word_extents(second, "Later", through="wind"))
            self.assertTrue(inside(selection["bounds"], spanned), (selection["bounds"], spanned))
            # From the first selected word to the last, not the paragraphs.
            self.assertLess(abs(selection["bounds"]["y"] - start[1]), 3)
            self.assertLess(abs(selection["bounds"]["y"] + selection["bounds"]["height"] - end[1] - end[3]), 3)

            # Ctrl+A selects the page: its text, without the field's value
            # or the button's label.
            xdotool("key", "ctrl+a")
            selection, more = settled_selection(watcher)
            seen += more
            self.assertEqual(selection["text"], FIRST + "\n" + SECOND)
            self.assertEqual(selection["sourceUrl"], PAGE_URL)
            page = union(word_extents(first, "In", through="numbers."), word_extents(second, SECOND))
            self.assertTrue(inside(selection["bounds"], page), (selection["bounds"], page))
            for line in seen:
                self.assertNotIn("\ufffc", line["text"])
                self.assertEqual(line["sourceUrl"], PAGE_URL)
            # What each browser reported, for the record.
            print(f"\n{self.KIND.__name__}: " + "\n".join(
                json.dumps({k: line[k] for k in ("text", "bounds")}) for line in seen), file=sys.stderr)
        self.assertIsNone(self.browser.app.proc.poll(), "the browser survived")


class ObservingAPage:
    KIND = None
    APP_ID = None

    def setUp(self):
        harness.set_accessibility_enabled(True)

    def observe(self):
        result = run_computer({"operation": "observe", "appId": self.APP_ID}, timeout=60)
        self.assertEqual(result.stderr, b"", result)
        return result

    def test_page_is_observed_and_a_password_page_refused(self):
        browser = Browser(self.KIND, PAGE_URL)
        try:
            result = self.observe()
            self.assertEqual(result.status, 0, result)
            elements = {(e["role"], e.get("name")) for e in result.response["data"]["elements"]}
            # The page itself, its link and its button, among the browser's own controls.
            for element in [("AXWebArea", "Garden notes"), ("AXLink", "bees arrived"), ("AXButton", "Send note")]:
                self.assertIn(element, elements)
        finally:
            browser.stop()
        browser = Browser(self.KIND, PASSWORD_URL)
        try:
            result = self.observe()
            self.assertEqual(result.response, {"ok": False, "code": "COMPUTER_ACCESS_DENIED", "notExecuted": True})
            self.assertIsNone(browser.app.proc.poll(), "the browser survived")
        finally:
            browser.stop()


class ChromiumSelections(SelectionsInAPage, TestCase):
    KIND = staticmethod(chromium)


class FirefoxSelections(SelectionsInAPage, TestCase):
    KIND = staticmethod(firefox)


class ChromiumObserve(ObservingAPage, TestCase):
    KIND = staticmethod(chromium)
    APP_ID = "chromium"


class FirefoxObserve(ObservingAPage, TestCase):
    # Firefox reports its window as the client area inside openbox's frame.
    KIND = staticmethod(firefox)
    APP_ID = "firefox-esr"


if __name__ == "__main__":
    unittest.main()
