"""What 'observe' answers for known windows stays what it was while observe
is made faster: the inventory (refs, roles, names, actions, editable flags,
bounds), the windows, the picture's size and the refusals (over the node
and children limits, protected content), for the GTK fixture and for
gtk3-widget-factory, compared with observe_baseline.json beside this file.

When an answer is meant to change, record the expectation again and review
its diff:

    LARKSPIRE_RECORD_BASELINE=1 LARKSPIRE_BUILD=build scripts/desktop \\
        /usr/bin/python3 tests/e2e/test_desktop_observe_baseline.py
"""

import difflib
import json
import os
import shutil
import unittest

import harness
from harness import TestCase, run_computer, start_app

BASELINE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "observe_baseline.json")
RECORD = os.environ.get("LARKSPIRE_RECORD_BASELINE") == "1"
WIDGET_FACTORY = shutil.which("gtk3-widget-factory")

# The fixture window has 16 nodes without rows; every row is one node and
# every --group box one more: 2978 rows in 6 boxes make 3000 nodes, the most
# a window may have, and one row more is over the limit.
WINDOWS = {
    "fixture": ["--rows", "300", "--size", "1000x700"],
    "at node limit": ["--rows", "2978", "--group", "500", "--size", "1000x700"],
    "over node limit": ["--rows", "2979", "--group", "500", "--size", "1000x700"],
    "over children limit": ["--rows", "1001", "--size", "1000x700"],
    "password": ["--password"],
}


def env():
    e = harness.fixture_entry_env()
    # The system's desktop entries too, for gtk3-widget-factory's.
    e["XDG_DATA_DIRS"] = os.pathsep.join([e["XDG_DATA_DIRS"], "/usr/local/share", "/usr/share"])
    return e


ENV = env()


def normalised(response):
    """The answer without what differs from run to run: the snapshot id, the
    process and window ids, and the picture's bytes (gtk3-widget-factory
    shows a spinner, so its pixels never repeat; the PNG is decoded and its
    size checked instead). Bounds are made relative to the window's, whose
    place on the screen is the window manager's choice, not the program's;
    the window's size stays as it is."""
    if not response.get("ok"):
        return response
    data = json.loads(json.dumps(response["data"]))
    image = data["image"]
    if harness.png_size(harness.decode_png(image.pop("data"))) != (image["width"], image["height"]):
        raise AssertionError("the PNG's size is not the one the answer gives")
    for key in ("snapshotId", "pid", "windowId"):
        data.pop(key)
    for window in data["windows"]:
        window.pop("windowId")
    origin = data["bounds"]["x"], data["bounds"]["y"]
    data["bounds"]["x"] = data["bounds"]["y"] = 0.0
    for element in data["elements"]:
        if "bounds" in element:
            element["bounds"]["x"] -= origin[0]
            element["bounds"]["y"] -= origin[1]
    return {"ok": True, "data": data}


def observe(app_id):
    """The normalised answer, once the application answers for its tree: a
    big fixture is busy for a moment after its window shows, and a call that
    times out then makes the window unavailable, rightly."""
    answer = {}

    def settled():
        result = run_computer({"operation": "observe", "appId": app_id}, env=ENV, timeout=120)
        if result.stderr:
            raise AssertionError(f"stderr not empty: {result!r}")
        answer["response"] = result.response
        return result.response.get("code") != "COMPUTER_UNAVAILABLE"

    harness.wait_until(settled, timeout=120, interval=0.5, what=f"an answer for {app_id}")
    return normalised(answer["response"])


def start_fixture(args):
    return start_app([harness.fixture("fixture_app"), *args], env=ENV, timeout=120)


def dumps(baseline):
    """JSON with one element record a line, so that a diff names the records."""
    def value(v, indent):
        if isinstance(v, dict) and v:
            inner = " " * (indent + 1)
            items = [f"{inner}{json.dumps(k)}: {value(v[k], indent + 1)}" for k in sorted(v)]
            return "{\n" + ",\n".join(items) + "\n" + " " * indent + "}"
        if isinstance(v, list) and v and all(isinstance(x, dict) for x in v):
            inner = " " * (indent + 1)
            return "[\n" + ",\n".join(inner + json.dumps(x, sort_keys=True, ensure_ascii=False) for x in v) + \
                "\n" + " " * indent + "]"
        return json.dumps(v, sort_keys=True, ensure_ascii=False)
    return value(baseline, 0) + "\n"


class ObserveBaseline(TestCase):
    recorded = {}

    @classmethod
    def setUpClass(cls):
        if not RECORD:
            with open(BASELINE) as f:
                cls.expected = json.load(f)

    @classmethod
    def tearDownClass(cls):
        if RECORD and cls.recorded:
            previous = {}
            if os.path.exists(BASELINE):
                with open(BASELINE) as f:
                    previous = json.load(f)
            previous.update(cls.recorded)
            with open(BASELINE, "w") as f:
                f.write(dumps(previous))

    def setUp(self):
        harness.set_accessibility_enabled(True)

    def check(self, name, answer):
        if RECORD:
            self.recorded[name] = answer
            return
        expected = self.expected[name]
        if answer != expected:
            diff = difflib.unified_diff(dumps(expected).splitlines(), dumps(answer).splitlines(),
                                        "recorded", "now", lineterm="", n=2)
            self.fail(f"{name}: the answer changed\n" + "\n".join(list(diff)[:80]))

    def test_fixture_window(self):
        with start_fixture(WINDOWS["fixture"]):
            self.check("fixture", observe("org.example.Fixture"))

    @unittest.skipUnless(WIDGET_FACTORY, "gtk3-widget-factory is not installed (scripts/bootstrap installs it)")
    def test_widget_factory_window(self):
        with start_app([WIDGET_FACTORY], env=ENV):
            self.check("gtk3-widget-factory", observe("gtk3-widget-factory"))

    def test_limits_and_protection(self):
        # At the node limit the window is observed (its 250 records and
        # picture pinned like the others); one node more, a node with too
        # many children, or a password field, and it is refused.
        for name in ("at node limit", "over node limit", "over children limit", "password"):
            with self.subTest(window=name), start_fixture(WINDOWS[name]):
                self.check(name, observe("org.example.Fixture"))


if __name__ == "__main__":
    unittest.main()
