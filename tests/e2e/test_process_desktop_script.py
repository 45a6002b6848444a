"""scripts/desktop: the command's exit status passes through, the command
sees a working desktop, the desktop's noise stays off its streams, several
desktops can run at once, and nothing stays running afterwards — also when
the command crashes, leaves children behind, or the script is interrupted."""

import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

DESKTOP = os.path.join(harness.SOURCE, "scripts", "desktop")


def processes_with(tag):
    """Pids of processes whose command line or environment mentions tag."""
    found = []
    needle = tag.encode()
    for name in os.listdir("/proc"):
        if not name.isdigit() or int(name) == os.getpid():
            continue
        try:
            with open(f"/proc/{name}/cmdline", "rb") as f:
                cmdline = f.read()
            with open(f"/proc/{name}/environ", "rb") as f:
                environ = f.read()
            with open(f"/proc/{name}/stat", "rb") as f:
                state = f.read().rsplit(b")", 1)[1].split()[0]
        except OSError:
            continue
        if state != b"Z" and (needle in cmdline or needle in environ):
            found.append(int(name))
    return found


def desktop_processes_of(display):
    """Xvfb, dbus-daemon, openbox or at-spi processes serving display."""
    pids = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/cmdline", "rb") as f:
                argv = f.read().split(b"\0")
            with open(f"/proc/{name}/environ", "rb") as f:
                env = f.read().split(b"\0")
        except OSError:
            continue
        if not argv or not argv[0]:
            continue
        exe = os.path.basename(argv[0]).decode(errors="replace")
        if exe in ("Xvfb", "dbus-daemon", "openbox", "at-spi-bus-launcher", "at-spi2-registryd") and \
                f"DISPLAY={display}".encode() in env:
            pids.append(int(name))
    return pids


class DesktopScript(harness.TestCase):
    def run_desktop(self, script, timeout=90, **kwargs):
        return subprocess.run([DESKTOP, "sh", "-c", script], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=timeout, **kwargs)

    def test_exit_status_passes_through(self):
        for status in (0, 1, 3, 77):
            with self.subTest(status=status):
                self.assertEqual(self.run_desktop(f"exit {status}").returncode, status)

    def test_a_crashed_command_reports_its_signal(self):
        result = self.run_desktop("kill -SEGV $$")
        self.assertEqual(result.returncode, 128 + signal.SIGSEGV)

    def test_the_command_sees_display_bus_and_window_manager(self):
        result = self.run_desktop(
            'echo "$DISPLAY"; '
            'xdpyinfo | grep -E "dimensions|depth of root"; '
            'xprop -root _NET_SUPPORTING_WM_CHECK; '
            'dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress; '
            'env')
        self.assertEqual(result.returncode, 0, result.stderr)
        out = result.stdout.decode()
        self.assertRegex(out.splitlines()[0], r"^:\d+$")
        self.assertIn("1600x1000 pixels", out)
        self.assertIn("depth of root window:    24 planes", out)
        self.assertIn("window id #", out)
        self.assertRegex(out, r'string "unix:')
        env = dict(line.split("=", 1) for line in out.splitlines() if "=" in line and line[0].isupper())
        for name in ("NO_AT_BRIDGE", "GTK_A11Y"):
            self.assertNotIn(name, env)
        self.assertTrue(env.get("DBUS_SESSION_BUS_ADDRESS"))
        self.assertEqual(result.stderr, b"")

    def test_the_desktops_noise_stays_off_the_commands_streams(self):
        # A GTK app makes the accessibility bus and registry start and talk.
        result = self.run_desktop('zenity --info --text=hi --timeout=1 >/dev/null 2>&1; echo done')
        self.assertEqual(result.stdout, b"done\n")
        self.assertEqual(result.stderr, b"")

    def test_nothing_stays_running_afterwards(self):
        tag = uuid.uuid4().hex
        # Children of every kind: background, detached into their own
        # session, and a GTK app that activates the accessibility services.
        script = ("sleep 1000 & setsid sleep 1001 & "
                  "zenity --info --text=leftover >/dev/null 2>&1 & "
                  "xdotool search --sync --name . >/dev/null; echo $DISPLAY")
        result = self.run_desktop(script, env=dict(os.environ, LARKSPIRE_TEST_TAG=tag))
        self.assertEqual(result.returncode, 0, result.stderr)
        display = result.stdout.decode().strip()
        self.assertEqual(processes_with(tag), [])
        self.assertEqual(desktop_processes_of(display), [])
        self.assertFalse(os.path.exists(f"/tmp/.X11-unix/X{display[1:]}"))

    def test_nothing_stays_running_after_an_interrupt(self):
        tag = uuid.uuid4().hex
        with tempfile.TemporaryDirectory() as tmp:
            marker = os.path.join(tmp, "started")
            proc = subprocess.Popen(
                [DESKTOP, "sh", "-c", f'echo "$DISPLAY" > {marker}.tmp; mv {marker}.tmp {marker}; '
                                      "sleep 1000"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                env=dict(os.environ, LARKSPIRE_TEST_TAG=tag))
            harness.wait_until(lambda: os.path.exists(marker) or proc.poll() is not None, 60,
                               what="the command to start")
            with open(marker) as f:
                display = f.read().strip()
            # The desktop and the command are found while they run...
            self.assertGreaterEqual(len(processes_with(tag)), 4)
            proc.send_signal(signal.SIGINT)
            status = proc.wait(timeout=30)
            self.assertEqual(status, 128 + signal.SIGINT)
            # ...and are all gone afterwards.
            self.assertEqual(processes_with(tag), [])
            self.assertEqual(desktop_processes_of(display), [])

    def test_several_desktops_run_at_once(self):
        procs = [subprocess.Popen([DESKTOP, "sh", "-c", "echo $DISPLAY; xdpyinfo >/dev/null && sleep 1"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE) for _ in range(3)]
        displays = []
        for proc in procs:
            out, err = proc.communicate(timeout=90)
            self.assertEqual(proc.returncode, 0, err)
            displays.append(out.decode().strip())
        self.assertEqual(len(set(displays)), 3, displays)

    def test_every_desktop_starts_with_accessibility_switched_off(self):
        get = ("dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus "
               "org.freedesktop.DBus.Properties.Get string:org.a11y.Status string:IsEnabled | tail -1")
        switch_on = ("dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus "
                     "org.freedesktop.DBus.Properties.Set string:org.a11y.Status string:IsEnabled "
                     "variant:boolean:true >/dev/null")
        first = self.run_desktop(f"{get}; {switch_on}; {get}")
        self.assertEqual(first.stdout.split(), [b"variant", b"boolean", b"false"] + [b"variant", b"boolean", b"true"])
        # What one desktop switched on is not remembered by the next.
        second = self.run_desktop(get)
        self.assertEqual(second.stdout.split(), [b"variant", b"boolean", b"false"])

    def test_a_missing_command_is_reported(self):
        result = subprocess.run([DESKTOP, "/nonexistent/command"], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(result.returncode, 127)


if __name__ == "__main__":
    unittest.main()
