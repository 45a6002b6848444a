"""Listing and launching real applications on the headless desktop.

The desktop entries of tests/e2e/applications name the GTK fixture app
(found on PATH), so one program appears under several identifiers:

  org.example.Fixture      Name=Fixture (Name[fr]=Appareil)
  org.example.FixtureBeta  Name=Fixture, runs as org.example.FixtureBeta
  org.example.Notepad      Name=Quill Notepad (Name[fr]=Bloc-notes Quill)
  org.example.Settings     NoDisplay: launchable, never offered
  org.example.Hidden       Hidden: does not exist
  org.example.Manual       a Link, not an application
  org.example.Broken       its program does not exist
  org.larkspire.Helper     excluded by name
"""

import os
import subprocess
import tempfile
import time
import unittest

import harness
from harness import TestCase, run_computer, start_app, wait_until

APPLICATIONS_DATA = os.path.join(harness.SOURCE, "tests", "e2e")


def app_env(extra=None):
    env = {
        "XDG_DATA_DIRS": APPLICATIONS_DATA,
        "XDG_DATA_HOME": DATA_HOME.name,
        "PATH": harness.FIXTURES + os.pathsep + os.environ.get("PATH", "/usr/bin:/bin"),
        "LANG": "C.UTF-8",
    }
    env.update(extra or {})
    return env


DATA_HOME = tempfile.TemporaryDirectory(prefix="larkspire-data-home-")


def ask(request, **env):
    result = run_computer(request, env=app_env(env))
    if result.stderr:
        raise AssertionError(f"stderr not empty: {result!r}")
    return result


def fixture_pids():
    """Pids of the fixture_app processes of this desktop (zombies left out).

    Other desktop tests may run their own fixtures on other displays at the
    same time, so only processes on our DISPLAY count."""
    out = subprocess.run(["pgrep", "-x", "fixture_app"], stdout=subprocess.PIPE, text=True).stdout
    return {int(p) for p in out.split() if harness_alive(int(p)) and on_our_display(int(p))}


def on_our_display(pid):
    try:
        with open(f"/proc/{pid}/environ", "rb") as f:
            variables = f.read().split(b"\0")
    except OSError:
        return False
    return ("DISPLAY=" + os.environ.get("DISPLAY", "")).encode() in variables


def harness_alive(pid):
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            return f.read().rsplit(b")", 1)[1].split()[0] != b"Z"
    except OSError:
        return False


def active_window_pid():
    out = subprocess.run(["xprop", "-root", "_NET_ACTIVE_WINDOW"], stdout=subprocess.PIPE, text=True).stdout
    window = out.strip().split()[-1]
    if not window.startswith("0x") or int(window, 16) == 0:
        return None
    out = subprocess.run(["xprop", "-id", window, "_NET_WM_PID"], stdout=subprocess.PIPE, text=True).stdout
    try:
        return int(out.strip().split()[-1])
    except ValueError:
        return None


def kill(pid):
    try:
        os.kill(pid, 15)
    except ProcessLookupError:
        pass


def start_fixture(*args):
    return start_app([harness.fixture("fixture_app"), *args], env=app_env())


def records(result):
    assert result.status == 0 and result.response["ok"], result
    return {app["appId"]: app for app in result.response["data"]["apps"]}


class ListingTest(TestCase):
    def test_running_fixtures_are_listed_with_their_pids_and_told_apart(self):
        with start_fixture() as plain, start_fixture("--app-id", "org.example.FixtureBeta",
                                                     "--title", "Fixture Beta") as beta:
            apps = records(ask({"operation": "apps"}))
            self.assertEqual(apps["org.example.Fixture"],
                             {"appId": "org.example.Fixture", "name": "Fixture", "running": True, "pid": plain.pid})
            self.assertEqual(apps["org.example.FixtureBeta"],
                             {"appId": "org.example.FixtureBeta", "name": "Fixture (FixtureBeta)",
                              "running": True, "pid": beta.pid})
            # Without a query nothing installed is offered.
            self.assertTrue(all(app["running"] for app in apps.values()), apps)

            # The query matches the disambiguated name; the running copy is not
            # offered a second time as installed.
            found = ask({"operation": "apps", "query": "  fixTURE (fixturebeta)\n"}).response["data"]["apps"]
            self.assertEqual([app["appId"] for app in found], ["org.example.FixtureBeta"])

    def test_a_query_finds_installed_entries_that_are_not_running(self):
        apps = records(ask({"operation": "apps", "query": "  QUILL\n"}))
        self.assertEqual(apps.get("org.example.Notepad"),
                         {"appId": "org.example.Notepad", "name": "Quill Notepad", "running": False})
        self.assertIn("org.example.Broken", apps)
        for absent in ("org.example.Settings", "org.example.Hidden", "org.example.Manual", "org.larkspire.Helper"):
            self.assertNotIn(absent, apps)

    def test_names_follow_the_messages_locale(self):
        apps = records(ask({"operation": "apps", "query": "bloc-notes"}, LANG="fr_FR.UTF-8"))
        self.assertEqual(apps.get("org.example.Notepad", {}).get("name"), "Bloc-notes Quill")
        with start_fixture() as plain:
            apps = records(ask({"operation": "apps"}, LC_ALL="fr_CH.UTF-8"))
            self.assertEqual(apps["org.example.Fixture"]["name"], "Appareil")
            self.assertEqual(apps["org.example.Fixture"]["pid"], plain.pid)

    def test_a_user_entry_hides_the_system_one(self):
        folder = os.path.join(DATA_HOME.name, "applications")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "org.example.Notepad.desktop")
        with open(path, "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Quill Notepad\nExec=fixture_app\nHidden=true\n")
        try:
            self.assertNotIn("org.example.Notepad", records(ask({"operation": "apps", "query": "quill"})))
            result = ask({"operation": "launch", "appId": "org.example.Notepad"})
            self.assertEqual(result.response, {"ok": False, "code": "COMPUTER_APP_NOT_FOUND", "notExecuted": True})
        finally:
            os.unlink(path)


STRANGER = """
import sys
import gi
gi.require_version("Gtk", "3.0")
from gi.repository import Gtk

def activate(app):
    window = Gtk.ApplicationWindow(application=app, title="Stranger")
    window.add(Gtk.Button(label="Strange"))
    window.set_default_size(300, 200)
    window.show_all()

app = Gtk.Application(application_id="org.example.Stranger")
app.connect("activate", activate)
sys.exit(app.run([]))
"""


def user_entry(app_id, body):
    """Writes a desktop entry in the user's folder; answers its path."""
    folder = os.path.join(DATA_HOME.name, "applications")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, app_id + ".desktop")
    with open(path, "w") as f:
        f.write("[Desktop Entry]\nType=Application\n" + body)
    return path


class InterpreterTest(TestCase):
    """A Python program of its own, with no entry, among entries that run
    the same interpreter: it is none of them."""

    def setUp(self):
        harness.set_accessibility_enabled(True)
        self.tmp = tempfile.TemporaryDirectory(prefix="larkspire-stranger-")
        script = os.path.join(self.tmp.name, "stranger.py")
        with open(script, "w") as f:
            f.write(STRANGER)
        # As Debian's own entry of the interpreter, and another program's
        # entry that runs the same interpreter on a script of its own.
        self.entries = [
            user_entry("org.example.Interpreter", "Name=Python (v3)\nExec=/usr/bin/python3\nNoDisplay=true\n"),
            user_entry("org.example.PyOther", "Name=Py Other\nExec=/usr/bin/python3 %s/other.py\n" % self.tmp.name),
        ]
        self.stranger = start_app(["/usr/bin/python3", script], env=app_env())

    def tearDown(self):
        self.stranger.stop()
        for path in self.entries:
            os.unlink(path)
        self.tmp.cleanup()

    def test_the_stranger_is_an_unknown_application_everywhere(self):
        apps = records(ask({"operation": "apps"}))
        self.assertNotIn(self.stranger.pid, [app.get("pid") for app in apps.values()], apps)
        found = records(ask({"operation": "apps", "query": "py"}))
        self.assertEqual(found.get("org.example.PyOther"),
                         {"appId": "org.example.PyOther", "name": "Py Other", "running": False})
        for app_id in ("org.example.PyOther", "org.example.Interpreter"):
            observed = ask({"operation": "observe", "appId": app_id})
            self.assertEqual(observed.response,
                             {"ok": False, "code": "COMPUTER_TARGET_CHANGED", "notExecuted": True}, app_id)
        # Launching the other program starts it (its script is missing, so
        # it fails) instead of bringing the stranger forward.
        launched = ask({"operation": "launch", "appId": "org.example.PyOther"})
        self.assertEqual(launched.response, {"ok": False, "code": "COMPUTER_UNAVAILABLE", "notExecuted": True})


def current_desktop():
    return int(subprocess.run(["xdotool", "get_desktop"], stdout=subprocess.PIPE, text=True, check=True).stdout)


class LaunchTest(TestCase):
    def setUp(self):
        self.launched = []

    def tearDown(self):
        for pid in self.launched:
            kill(pid)

    def launch(self, app_id):
        result = ask({"operation": "launch", "appId": app_id})
        self.assertEqual(result.status, 0 if result.response.get("ok") else 1)
        if result.response.get("ok"):
            self.launched.append(result.response["data"]["pid"])
        return result.response

    def test_launch_starts_the_application_and_brings_it_to_the_front(self):
        with start_fixture():  # something else is frontmost before
            before = fixture_pids()
            response = self.launch("org.example.Notepad")
            self.assertTrue(response["ok"], response)
            data = response["data"]
            self.assertEqual(data, {"appId": "org.example.Notepad", "name": "Quill Notepad", "running": True,
                                    "pid": data["pid"], "ready": True})
            self.assertNotIn(data["pid"], before)
            with open(f"/proc/{data['pid']}/cmdline", "rb") as f:
                self.assertIn(b"org.example.Notepad", f.read())
            self.assertTrue(harness.x_windows(data["pid"]))
            wait_until(lambda: active_window_pid() == data["pid"], timeout=5, what="the launched window in front")

            apps = records(ask({"operation": "apps"}))
            self.assertEqual(apps["org.example.Notepad"]["pid"], data["pid"])

            # Launching it again starts nothing and brings the same process forward.
            with start_fixture("--app-id", "org.example.FixtureBeta"):
                wait_until(lambda: active_window_pid() != data["pid"], timeout=5, what="another window in front")
                again = self.launch("org.example.Notepad")
                self.assertEqual(again["data"]["pid"], data["pid"])
                self.assertEqual(again["data"]["ready"], True)
                wait_until(lambda: active_window_pid() == data["pid"], timeout=5, what="the window back in front")

    def test_an_entry_offered_to_nobody_can_still_be_launched(self):
        response = self.launch("org.example.Settings")
        self.assertTrue(response["ok"], response)
        self.assertEqual(response["data"]["ready"], True)
        self.assertEqual(response["data"]["name"], "Quill Settings")

    def test_unknown_and_excluded_identifiers_start_nothing(self):
        before = fixture_pids()
        for app_id in ("org.example.Nothing", "org.larkspire.Helper", "ORG.LARKSPIRE.HELPER", "org.example.Hidden",
                       "org.example.Manual", "../e2e/applications/org.example.Notepad", ""):
            response = self.launch(app_id)
            self.assertEqual(response, {"ok": False, "code": "COMPUTER_APP_NOT_FOUND", "notExecuted": True}, app_id)
        time.sleep(0.5)  # anything started by mistake would show by now
        self.assertEqual(fixture_pids(), before)

    def test_a_running_application_on_another_desktop_is_brought_there(self):
        with start_fixture() as fixture:
            subprocess.run(["xdotool", "set_num_desktops", "2"], check=True)
            wait_until(lambda: subprocess.run(["xdotool", "get_num_desktops"], stdout=subprocess.PIPE,
                                              text=True).stdout.strip() == "2", what="a second desktop")
            subprocess.run(["xdotool", "set_desktop_for_window", str(fixture.window), "1"], check=True)
            subprocess.run(["xdotool", "set_desktop", "0"], check=True)
            wait_until(lambda: current_desktop() == 0, what="the first desktop shown")
            response = ask({"operation": "launch", "appId": "org.example.Fixture"}).response
            self.assertEqual(response["data"], {"appId": "org.example.Fixture", "name": "Fixture", "running": True,
                                                "pid": fixture.pid, "ready": True})
            wait_until(lambda: current_desktop() == 1, timeout=5, what="the window's desktop shown")
            wait_until(lambda: active_window_pid() == fixture.pid, timeout=5, what="the window in front")

    def test_a_program_that_ends_at_once_is_reported_ended_at_once(self):
        path = user_entry("org.example.Quick", "Name=Quick\nExec=/bin/true\n")
        try:
            start = time.monotonic()
            response = self.launch("org.example.Quick")
            elapsed = time.monotonic() - start
            self.assertTrue(response["ok"], response)
            self.assertEqual(response["data"]["running"], False)
            self.assertEqual(response["data"]["ready"], False)
            self.assertLess(elapsed, 6, "waited as if the program still ran")
        finally:
            os.unlink(path)

    def test_a_program_that_shows_no_window_is_waited_for_ten_seconds_in_all(self):
        path = user_entry("org.example.Silent", "Name=Silent\nExec=/bin/sleep 60\n")
        try:
            start = time.monotonic()
            response = self.launch("org.example.Silent")
            elapsed = time.monotonic() - start
            self.assertTrue(response["ok"], response)
            self.assertEqual((response["data"]["running"], response["data"]["ready"]), (True, False))
            self.assertGreaterEqual(elapsed, 10)
            self.assertLess(elapsed, 15, "the wait for a window and for readiness added up")
        finally:
            os.unlink(path)

    def test_a_program_that_cannot_start_is_unavailable(self):
        response = self.launch("org.example.Broken")
        self.assertEqual(response, {"ok": False, "code": "COMPUTER_UNAVAILABLE", "notExecuted": True})


if __name__ == "__main__":
    unittest.main()
