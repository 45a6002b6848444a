"""'observe' through the real larkspire-computer on a real desktop, against
the GTK fixture application (identified by its desktop entry)."""

import os
import signal
import subprocess
import tempfile
import unittest

import harness
from harness import TestCase, run_computer, start_app

ENV = harness.fixture_entry_env()
APP_ID = "org.example.Fixture"


def observe(**keys):
    result = run_computer({"operation": "observe", "appId": APP_ID, **keys}, env=ENV)
    if result.stderr:
        raise AssertionError(f"stderr not empty: {result!r}")
    return result


def fixture(*args, title="Fixture"):
    return start_app([harness.fixture("fixture_app"), "--title", title, *args], env=ENV)


class Observe(TestCase):
    def setUp(self):
        harness.set_accessibility_enabled(True)

    def test_inventory_and_picture_are_true_of_the_window(self):
        with fixture():
            result = observe()
            self.assertEqual(result.status, 0, result)
            data = result.response["data"]
            self.assertEqual(data["appId"], APP_ID)
            self.assertEqual(len(data["snapshotId"]), 36)
            by_name = {e["name"]: e for e in data["elements"]}
            press = by_name["Press me"]
            self.assertEqual(press["role"], "AXButton")
            self.assertIn("AXPress", press["actions"])
            self.assertGreater(press["bounds"]["width"], 0)
            self.assertEqual(by_name["Name"]["role"], "AXTextField")
            self.assertTrue(by_name["Name"]["editable"])
            self.assertEqual([e["ref"] for e in data["elements"]],
                             [f"e{i}" for i in range(1, len(data["elements"]) + 1)])
            image = data["image"]
            self.assertEqual(image["mimeType"], "image/png")
            png = harness.decode_png(image["data"])
            self.assertEqual(harness.png_size(png), (image["width"], image["height"]))
            self.assertEqual(max(image["width"], image["height"]), min(1600, 2 * max(
                round(data["bounds"]["width"]), round(data["bounds"]["height"]))))
            self.assertIn({"windowId": data["windowId"], "title": "Fixture"}, data["windows"])

    def test_window_id_selects_the_window(self):
        with fixture("--second-window", title="Pair"):
            first = observe()
            self.assertEqual(first.status, 0, first)
            windows = first.response["data"]["windows"]
            self.assertEqual(sorted(w["title"] for w in windows), ["Pair", "Pair 2"])
            for window in windows:
                chosen = observe(windowId=window["windowId"])
                self.assertEqual(chosen.status, 0, chosen)
                self.assertEqual(chosen.response["data"]["windowId"], window["windowId"])
            self.assertEqual(observe(windowId="0" + windows[0]["windowId"]).response["code"],
                             "COMPUTER_TARGET_CHANGED")

    def test_a_window_taller_than_any_picture_is_observed_scaled(self):
        # Taller than the 16384 pixels a picture may have on a side.
        with fixture() as app:
            # The window manager fits new windows to the screen, not resized ones.
            subprocess.run(["xdotool", "windowsize", str(app.window), "300", "17034"], check=True)
            harness.wait_until(lambda: harness.window_geometry(app.window)[3] == 17034, what="the tall window")
            result = observe()
            self.assertEqual(result.status, 0, result)
            data = result.response["data"]
            bounds, image = data["bounds"], data["image"]
            self.assertGreater(bounds["height"], 16384)
            self.assertEqual(image["height"], 1600)
            self.assertAlmostEqual(image["width"], bounds["width"] * 1600 / bounds["height"], delta=1)
            png = harness.decode_png(image["data"])
            self.assertEqual(harness.png_size(png), (image["width"], image["height"]))

    def test_window_with_a_password_field_is_refused(self):
        with fixture("--password"):
            result = observe()
            self.assertEqual(result.status, 1)
            self.assertEqual(result.response, {"ok": False, "code": "COMPUTER_ACCESS_DENIED", "notExecuted": True})

    def test_a_hung_application_gets_an_answer_not_a_stall(self):
        with fixture() as app:
            self.assertEqual(observe().status, 0)
            os.kill(app.pid, signal.SIGSTOP)  # answers nothing from now on
            try:
                result = observe()  # run_computer gives up (and fails the test) after 60 s
                self.assertEqual(result.status, 1, result)
                self.assertFalse(result.response["ok"])
                self.assertTrue(result.response["notExecuted"])
            finally:
                os.kill(app.pid, signal.SIGCONT)
            # Once it answers again, so does observe.
            self.assertEqual(observe().status, 0)

    def test_permission_is_checked_after_the_application(self):
        with fixture():
            harness.set_accessibility_enabled(False)
            self.assertEqual(observe().response["code"], "COMPUTER_PERMISSION_REQUIRED")
            unknown = run_computer({"operation": "observe", "appId": "org.example.Nothing"}, env=ENV)
            self.assertEqual(unknown.response["code"], "COMPUTER_TARGET_CHANGED")


@unittest.skipUnless(harness.has_tool("zenity"), "zenity is not installed")
class ObserveRealApplication(TestCase):
    """zenity, a GTK program this project did not write, identified through
    the test desktop entry org.example.Zenity (its Exec names the program)."""

    def setUp(self):
        harness.set_accessibility_enabled(True)

    def test_list_dialog_inventory_and_picture(self):
        argv = ["zenity", "--list", "--title", "Fruit", "--text", "Pick a fruit", "--width", "420",
                "--height", "360", "--column", "Name", "--column", "Colour",
                "Apple", "red", "Banana", "yellow", "Cherry", "dark red"]
        # zenity itself gets the ordinary data folders (icons, MIME types).
        with start_app(argv) as app, tempfile.TemporaryDirectory() as folder:
            result = run_computer({"operation": "observe", "appId": "org.example.Zenity"}, env=ENV)
            self.assertEqual(result.status, 0, result)
            data = result.response["data"]
            self.assertEqual(data["pid"], app.pid)
            self.assertIn({"windowId": data["windowId"], "title": "Fruit"}, data["windows"])
            self.assertEqual(int(data["windowId"]), app.window)
            elements = data["elements"]
            buttons = {e["name"]: e for e in elements if e["role"] == "AXButton"}
            for name in ("OK", "Cancel"):
                self.assertIn(name, buttons, elements)
                self.assertIn("AXPress", buttons[name]["actions"])
                self.assertFalse(buttons[name]["editable"])
            self.assertTrue(any(e["role"] == "AXStaticText" and e["name"] == "Pick a fruit" for e in elements),
                            elements)
            names = " ".join(e.get("name", "") for e in elements)
            for cell in ("Apple", "Banana", "Cherry", "dark red"):
                self.assertIn(cell, names)
            # Every element with bounds lies inside the window.
            frame = data["bounds"]
            for e in elements:
                if "bounds" in e:
                    b = e["bounds"]
                    self.assertGreaterEqual(b["x"], frame["x"] - 1, e)
                    self.assertLessEqual(b["x"] + b["width"], frame["x"] + frame["width"] + 1, e)

            # The picture shows the window, frame included: compare with the
            # screen at the window's bounds.
            ours = os.path.join(folder, "observe.png")
            with open(ours, "wb") as f:
                f.write(harness.decode_png(data["image"]["data"]))
            theirs = harness.screenshot(os.path.join(folder, "x.png"), crop=frame)
            self.assertLess(harness.image_difference(ours, theirs), 0.05)
            # ... and not just any picture of that size: the fixture's differs.
            with fixture() as other:
                other_picture = harness.screenshot(os.path.join(folder, "other.png"), other.window)
                self.assertGreater(harness.image_difference(ours, other_picture), 0.1)


if __name__ == "__main__":
    unittest.main()
