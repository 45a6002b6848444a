"""The permission report inside a headless desktop: accessibility follows
org.a11y.Status.IsEnabled (which "permissions" switches on), screen capture
is available on the X display. Each answer is one clean line, nothing on
stderr."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402


class PermissionReportInDesktop(harness.TestCase):
    @classmethod
    def setUpClass(cls):
        # A GTK application on the bus, as in a real session.
        cls.app = harness.start_app(["zenity", "--info", "--text=Larkspire"])

    @classmethod
    def tearDownClass(cls):
        cls.app.stop()

    def report(self, operation):
        result = harness.run_computer({"operation": operation})
        self.assertEqual(result.stderr, b"", result)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.stdout.count(b"\n"), 1, result)
        self.assertTrue(result.stdout.endswith(b"\n"), result)
        response = result.response
        self.assertEqual(set(response), {"ok", "data"}, response)
        self.assertIs(response["ok"], True)
        data = response["data"]
        self.assertEqual(set(data), {"accessibility", "screenRecording"}, data)
        for value in data.values():
            self.assertIsInstance(value, bool)
        return data

    def test_accessibility_follows_the_switch_and_permissions_turns_it_on(self):
        harness.set_accessibility_enabled(False)
        self.assertEqual(self.report("status"), {"accessibility": False, "screenRecording": True})

        # "permissions" switches accessibility on and reports the new state.
        self.assertEqual(self.report("permissions"), {"accessibility": True, "screenRecording": True})
        self.assertEqual(self.report("status"), {"accessibility": True, "screenRecording": True})

        # Switched off by someone else: reported off again, not remembered.
        harness.set_accessibility_enabled(False)
        self.assertFalse(self.report("status")["accessibility"])
        harness.set_accessibility_enabled(True)
        self.assertTrue(self.report("status")["accessibility"])

    def test_without_the_desktops_environment_both_are_false(self):
        result = harness.run_computer({"operation": "permissions"}, desktop=False)
        self.assertEqual((result.status, result.stderr), (0, b""), result)
        self.assertEqual(result.response, {"ok": True, "data": {"accessibility": False, "screenRecording": False}})

    def test_a_display_that_is_gone_is_reported_quietly(self):
        # A display name whose server does not exist, beside a working bus.
        result = harness.run_computer({"operation": "status"}, env={"DISPLAY": ":65000"})
        self.assertEqual((result.status, result.stderr), (0, b""), result)
        self.assertIs(result.response["data"]["screenRecording"], False)


if __name__ == "__main__":
    unittest.main()
