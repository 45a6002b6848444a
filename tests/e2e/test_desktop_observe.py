"""'observe' through the real larkspire-computer on a real desktop, against
the GTK fixture application (identified by its desktop entry)."""

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

    def test_window_with_a_password_field_is_refused(self):
        with fixture("--password"):
            result = observe()
            self.assertEqual(result.status, 1)
            self.assertEqual(result.response, {"ok": False, "code": "COMPUTER_ACCESS_DENIED", "notExecuted": True})

    def test_permission_is_checked_after_the_application(self):
        with fixture():
            harness.set_accessibility_enabled(False)
            self.assertEqual(observe().response["code"], "COMPUTER_PERMISSION_REQUIRED")
            unknown = run_computer({"operation": "observe", "appId": "org.example.Nothing"}, env=ENV)
            self.assertEqual(unknown.response["code"], "COMPUTER_TARGET_CHANGED")


if __name__ == "__main__":
    unittest.main()
