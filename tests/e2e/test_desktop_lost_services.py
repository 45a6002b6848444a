"""Services that go away under the programs are reported as what happened,
in bounded time: a vanished accessibility bus makes "status" false and
"observe" unavailable, and the selection observer reports it and picks the
bus up again when "permissions" starts it again; an address of the bus
that the display still announces after its bus went does not hide the
bus; an X server or session bus that goes away
(or stops answering) ends the observer with status 3 and one line on
standard error."""

import os
import signal
import subprocess
import tempfile
import time
import unittest

import harness
from harness import TestCase, run_computer, start_app

ENV = harness.fixture_entry_env()
APP_ID = "org.example.Fixture"
BOUND = 8.0  # generous for a loaded machine; the programs' own budget is 3 s
ENDING = "larkspire-selection-observer: ending: "


def marked_processes(predicate):
    """Pids of this desktop's processes whose command line satisfies predicate."""
    marker = b"LARKSPIRE_DESKTOP_ID=" + os.environ["LARKSPIRE_DESKTOP_ID"].encode()
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/environ", "rb") as f:
                if marker not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{name}/cmdline", "rb") as f:
                if predicate(f.read().split(b"\0")):
                    found.append(int(name))
        except OSError:
            continue
    return found


def accessibility_bus_daemon():
    pids = marked_processes(lambda argv: argv[0].endswith(b"dbus-daemon") and any(
        b"at-spi2/accessibility.conf" in a for a in argv))
    if len(pids) != 1:
        raise RuntimeError(f"accessibility bus daemons: {pids}")
    return pids[0]


def private_xvfb():
    rfd, wfd = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(wfd), "-screen", "0", "640x480x24", "-nolisten", "tcp"],
                            pass_fds=(wfd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(wfd)
    with os.fdopen(rfd) as f:
        return xvfb, ":" + f.readline().strip()


def observer(env=None):
    return harness.LineProcess([harness.OBSERVER], env=env)


class LostServices(TestCase):
    def ends(self, process, reason):
        start = time.monotonic()
        status, rest, stderr = process.wait(BOUND + 5)
        self.assertLess(time.monotonic() - start, BOUND)
        self.assertEqual(status, 3, stderr)
        self.assertEqual(stderr.decode().splitlines()[-1], ENDING + reason)
        return rest

    def test_the_observer_ends_when_its_x_server_goes_or_stops(self):
        for stop in (False, True):
            with self.subTest(stop=stop):
                xvfb, display = private_xvfb()
                try:
                    with observer({"DISPLAY": display}) as watcher:
                        self.assertEqual(watcher.read(BOUND)["type"], "permission")
                        time.sleep(0.5)  # polling
                        if stop:
                            os.kill(xvfb.pid, signal.SIGSTOP)
                            self.ends(watcher, "the X display does not answer")
                        else:
                            xvfb.kill()
                            xvfb.wait()
                            self.ends(watcher, "the X display is gone")
                finally:
                    if xvfb.poll() is None:
                        os.kill(xvfb.pid, signal.SIGCONT)
                        xvfb.kill()
                        xvfb.wait()

    def test_the_observer_ends_when_its_session_bus_goes(self):
        # A runtime folder of its own: an accessibility bus this bus starts
        # must not take the place of the desktop's own.
        runtime = tempfile.mkdtemp(prefix="larkspire-runtime-")
        bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               env=dict(os.environ, XDG_RUNTIME_DIR=runtime))
        try:
            address = bus.stdout.readline().decode().strip()
            with observer({"DBUS_SESSION_BUS_ADDRESS": address}) as watcher:
                self.assertEqual(watcher.read(BOUND)["type"], "permission")
                time.sleep(0.5)
                bus.kill()
                bus.wait()
                self.ends(watcher, "the session bus is gone")
        finally:
            if bus.poll() is None:
                bus.kill()
                bus.wait()

    def test_an_announced_bus_that_is_gone_does_not_hide_the_real_one(self):
        # The launcher announces its bus on the root window, where the
        # programs look first; one that died leaves a dead address behind.
        def announced():
            out = subprocess.run(["xprop", "-root", "AT_SPI_BUS"], stdout=subprocess.PIPE, text=True).stdout
            return out.split(" = ", 1)[1].strip().strip('"') if " = " in out else None

        def announce(address):
            subprocess.run(["xprop", "-root", "-f", "AT_SPI_BUS", "8s", "-set", "AT_SPI_BUS", address], check=True)

        harness.set_accessibility_enabled(True)
        with start_app([harness.fixture("fixture_app")], env=ENV):
            real = announced()
            self.assertIsNotNone(real)
            with tempfile.TemporaryDirectory() as gone:
                announce(f"unix:path={gone}/bus_0")
            try:
                status = run_computer({"operation": "status"}, env=ENV)
                self.assertEqual(status.response["data"], {"accessibility": True, "screenRecording": True})
                observe = run_computer({"operation": "observe", "appId": APP_ID}, env=ENV)
                self.assertEqual(observe.status, 0, observe.response)
            finally:
                announce(real)

    def test_zz_a_vanished_accessibility_bus_is_reported_and_picked_up_again(self):
        # Last: it takes this desktop's accessibility bus down for a while.
        harness.set_accessibility_enabled(True)
        with start_app([harness.fixture("fixture_app")], env=ENV), observer() as watcher:
            # The first poll may come while the bus is still busy with the
            # application starting: granted follows within a poll or two.
            harness.wait_until(lambda: watcher.read(BOUND) == {"type": "permission", "granted": True},
                               timeout=BOUND, what="accessibility granted")
            self.assertEqual(run_computer({"operation": "observe", "appId": APP_ID}, env=ENV).status, 0)

            os.kill(accessibility_bus_daemon(), signal.SIGTERM)
            harness.wait_until(lambda: not marked_processes(lambda argv: b"at-spi-bus-launcher" in argv[0]),
                               what="the launcher to follow its bus")
            self.assertEqual(watcher.read(BOUND), {"type": "permission", "granted": False})
            start = time.monotonic()
            status = run_computer({"operation": "status"}, env=ENV)
            self.assertEqual(status.response["data"], {"accessibility": False, "screenRecording": True})
            observe = run_computer({"operation": "observe", "appId": APP_ID}, env=ENV)
            self.assertEqual(observe.response, {"ok": False, "code": "COMPUTER_UNAVAILABLE", "notExecuted": True})
            self.assertLess(time.monotonic() - start, 2 * BOUND)
            self.assertEqual((status.stderr, observe.stderr), (b"", b""))

            # Started again by "permissions" (the first attempt to reach
            # the bus, made as the program starts, failed a moment before),
            # the bus is found again by the observer still running.
            permissions = run_computer({"operation": "permissions"}, env=ENV)
            self.assertEqual(permissions.response["data"], {"accessibility": True, "screenRecording": True})
            harness.wait_until(lambda: watcher.read(BOUND) == {"type": "permission", "granted": True},
                               timeout=BOUND, what="accessibility granted again")


if __name__ == "__main__":
    unittest.main()
