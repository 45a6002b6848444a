"""Window listing, capture and screen lock on a real X desktop, through the
capture probe (tests/e2e/probes/capture_probe.cpp)."""

import json
import os
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import PROBES, TestCase, child_env, png_size, start_app, wait_until  # noqa: E402

PROBE = os.path.join(PROBES, "capture_probe")
TITLE = "Capture target"


def probe(*args, timeout=60):
    proc = subprocess.run([PROBE, *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=timeout, env=child_env())
    lines = [json.loads(line) for line in proc.stdout.decode().splitlines() if line.strip()]
    return proc.returncode, lines, proc.stderr


def listed_windows():
    status, lines, stderr = probe("list")
    assert status == 0, (lines, stderr)
    return lines


def rgba_pixels(path):
    """(width, height, bytes) decoded by ImageMagick, independent of our encoder."""
    out = subprocess.run(["convert", path, "-depth", "8", "rgba:-"], stdout=subprocess.PIPE, check=True).stdout
    with open(path, "rb") as f:
        width, height = png_size(f.read())
    assert len(out) == width * height * 4
    return width, height, out


def region(pixels, width, x0, y0, x1, y1):
    return [tuple(pixels[(y * width + x) * 4:(y * width + x) * 4 + 3]) for y in range(y0, y1) for x in range(x0, x1)]


def close(a, b, tolerance=48):
    return all(abs(p - q) <= tolerance for p, q in zip(a, b))


def start_target(title=TITLE):
    fixture = harness.fixture("fixture_app")
    if os.path.exists(fixture):
        return start_app([fixture, "--title", title])
    return start_app(["zenity", "--info", "--title", title, "--text", "Capture target window"])


def accessible_window_extents(pid, title):
    import pyatspi

    def find():
        app = harness.accessible_app(pid)
        for i in range(app.childCount):
            window = app.getChildAtIndex(i)
            if window is not None and window.name == title:
                e = window.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
                return (e.x, e.y, e.width, e.height)
        return None
    return wait_until(find, what=f"accessible window {title!r}")


class WindowListing(TestCase):
    @classmethod
    def setUpClass(cls):
        cls.app = start_target()
        # Moving it makes the frame position something the WM had to compute.
        subprocess.run(["xdotool", "windowmove", "--sync", str(cls.app.window), "137", "91"], check=True)

    @classmethod
    def tearDownClass(cls):
        cls.app.stop()

    def own_windows(self):
        return [w for w in listed_windows() if w["pid"] == self.app.pid]

    def test_application_window_is_listed_with_owner_layer_and_title(self):
        windows = wait_until(lambda: [w for w in self.own_windows() if w["title"] == TITLE],
                             what="the target in the listing")
        self.assertEqual(len(windows), 1, windows)
        window = windows[0]
        self.assertEqual(window["windowID"], self.app.window)
        self.assertEqual(window["layer"], 0)
        self.assertGreater(window["frame"]["width"], 0)
        self.assertGreater(window["frame"]["height"], 0)

    def test_frame_matches_what_accessibility_reports(self):
        def agree():
            extents = accessible_window_extents(self.app.pid, TITLE)
            frame = next(w for w in self.own_windows() if w["title"] == TITLE)["frame"]
            seen.append((frame, extents))
            return all(abs(frame[key] - value) < 1.0 for key, value in zip(("x", "y", "width", "height"), extents))

        # The toolkit learns of a move a moment after the window manager.
        seen = []
        try:
            wait_until(agree, timeout=10, interval=0.2, what="frame and accessibility extents agreeing")
        except TimeoutError:
            self.fail(f"frame and extents differ: {seen[-1]}")
        frame = seen[-1][0]
        # The frame includes the decorations around the client area.
        x, y, width, height = harness.window_geometry(self.app.window)
        self.assertLessEqual(frame["x"], x)
        self.assertLessEqual(frame["y"], y)
        self.assertGreaterEqual(frame["width"], width)
        self.assertGreaterEqual(frame["height"], height)

    def test_minimised_window_stays_listed(self):
        with start_target("Capture minimised") as other:
            subprocess.run(["xdotool", "windowminimize", "--sync", str(other.window)], check=True)
            listed = [w for w in listed_windows() if w["pid"] == other.pid]
            self.assertIn(other.window, [w["windowID"] for w in listed])

    def test_a_title_set_only_as_latin1_wm_name_is_read_as_utf8(self):
        with start_target("Capture old title") as old:
            subprocess.run(["xprop", "-id", str(old.window), "-remove", "_NET_WM_NAME"], check=True)
            subprocess.run([b"xprop", b"-id", str(old.window).encode(), b"-f", b"WM_NAME", b"8s", b"-set", b"WM_NAME",
                            b"Caf\xe9 ancien"], check=True)
            titles = wait_until(lambda: [w["title"] for w in listed_windows() if w["windowID"] == old.window
                                         and w["title"] != "Capture old title"], what="the new title")
            self.assertEqual(titles, ["Café ancien"])

    def test_listing_frontmost_first(self):
        with start_target("Capture front") as front:
            subprocess.run(["xdotool", "windowactivate", "--sync", str(front.window)], check=True)
            ids = [w["windowID"] for w in listed_windows()]
            self.assertLess(ids.index(front.window), ids.index(self.app.window))


class Capture(TestCase):
    @classmethod
    def setUpClass(cls):
        cls.app = start_target()
        subprocess.run(["xdotool", "windowmove", "--sync", str(cls.app.window), "100", "100"], check=True)
        subprocess.run(["xdotool", "windowactivate", "--sync", str(cls.app.window)], check=True)
        time.sleep(0.5)
        cls.dir = tempfile.mkdtemp(prefix="larkspire-capture-")

    @classmethod
    def tearDownClass(cls):
        cls.app.stop()

    def frame(self):
        return next(w["frame"] for w in listed_windows() if w["windowID"] == self.app.window)

    def capture(self, name, width, height, *extra):
        path = os.path.join(self.dir, name)
        status, lines, stderr = probe("capture", self.app.window, width, height, path, *extra)
        self.assertEqual(status, 0, (lines, stderr))
        self.assertEqual(lines, [{"width": width, "height": height, "bytes": os.path.getsize(path)}])
        return path

    def test_capture_at_frame_size_shows_the_window_as_the_screen_does(self):
        frame = self.frame()
        w, h = int(frame["width"]), int(frame["height"])
        width, height, pixels = rgba_pixels(self.capture("own.png", w, h))
        self.assertEqual((width, height), (w, h))
        screen = harness.screenshot(os.path.join(self.dir, "screen.png"))
        sw, _, screen_pixels = rgba_pixels(screen)
        fx, fy = int(frame["x"]), int(frame["y"])
        # Title bar, client area and bottom edge agree with the screen.
        for x, y in [(w // 2, 5), (w // 2, h // 2), (20, h // 3), (w - 5, h - 3), (w // 3, 60)]:
            ours = tuple(pixels[(y * width + x) * 4:(y * width + x) * 4 + 4])
            theirs = tuple(screen_pixels[((fy + y) * sw + fx + x) * 4:((fy + y) * sw + fx + x) * 4 + 3])
            self.assertEqual(ours[3], 255)
            self.assertTrue(close(ours[:3], theirs, 2), (x, y, ours, theirs))

    def test_covered_part_shows_the_windows_own_pixels(self):
        frame = self.frame()
        w, h = int(frame["width"]), int(frame["height"])
        _, _, reference = rgba_pixels(self.capture("reference.png", w, h))

        magenta = os.path.join(self.dir, "magenta.png")
        subprocess.run(["convert", "-size", "260x260", "xc:#ff00ff", magenta], check=True)
        cover = subprocess.Popen(["display", "-title", "capture-cover", magenta], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL, env=child_env())
        try:
            cover_id = wait_until(lambda: subprocess.run(
                ["xdotool", "search", "--onlyvisible", "--name", "capture-cover"], stdout=subprocess.PIPE,
                stderr=subprocess.DEVNULL).stdout.split(), what="the cover window")[0].decode()
            cx, cy = int(frame["x"]) + 60, int(frame["y"]) + 120
            subprocess.run(["xdotool", "windowmove", "--sync", cover_id, str(cx), str(cy)], check=True)
            subprocess.run(["xdotool", "windowactivate", "--sync", cover_id], check=True)
            # On screen, the middle of the covered part is magenta.
            screen = os.path.join(self.dir, "covered-screen.png")
            wait_until(lambda: harness.pixel(harness.screenshot(screen), cx + 130, cy + 130) == (255, 0, 0xff),
                       interval=0.2, what="the cover on screen")

            # Fresh process: the window gets redirected by this very capture.
            _, _, pixels = rgba_pixels(self.capture("covered.png", w, h, "--no-list"))
            x0, y0 = 80, 140
            ours = region(pixels, w, x0, y0, x0 + 200, y0 + 200)
            original = region(reference, w, x0, y0, x0 + 200, y0 + 200)
            magenta_share = sum(p == (255, 0, 255) for p in ours) / len(ours)
            same_share = sum(close(a, b) for a, b in zip(ours, original)) / len(ours)
            self.assertEqual(magenta_share, 0.0)
            self.assertGreater(same_share, 0.9)
        finally:
            cover.terminate()
            cover.wait(timeout=10)

    def test_part_off_the_screen_shows_the_windows_own_pixels(self):
        frame = self.frame()
        w, h = int(frame["width"]), int(frame["height"])
        _, _, reference = rgba_pixels(self.capture("on-screen.png", w, h))
        subprocess.run(["xdotool", "windowmove", "--sync", str(self.app.window), "-150", "100"], check=True)
        try:
            wait_until(lambda: self.frame()["x"] <= -140, what="the window hanging off the left edge")
            # The screen does not hold that part: the window's own picture must.
            _, _, pixels = rgba_pixels(self.capture("off-screen.png", w, h, "--no-list"))
            ours = region(pixels, w, 10, 40, 130, h - 10)
            original = region(reference, w, 10, 40, 130, h - 10)
            self.assertGreater(sum(close(a, b) for a, b in zip(ours, original)) / len(ours), 0.9)
        finally:
            subprocess.run(["xdotool", "windowmove", "--sync", str(self.app.window), "100", "100"], check=True)
            wait_until(lambda: self.frame()["x"] >= 90, what="the window back on screen")

    def test_scaled_captures_have_the_requested_size_and_the_same_colours(self):
        frame = self.frame()
        w, h = int(frame["width"]), int(frame["height"])
        _, _, full = rgba_pixels(self.capture("full.png", w, h))

        def mean(pixels):
            n = len(pixels) // 4
            return [sum(pixels[c::4]) / n for c in range(3)]

        for width, height in [(w // 3, h // 3), (w * 2, h * 2), (1, 1), (1, h), (257, 31)]:
            got_w, got_h, pixels = rgba_pixels(self.capture(f"scaled-{width}x{height}.png", width, height))
            self.assertEqual((got_w, got_h), (width, height))
            if width >= w // 3:
                # Averaging keeps the picture's overall colour.
                for a, b in zip(mean(pixels), mean(full)):
                    self.assertLess(abs(a - b), 3.0, (width, height))
        # A 1x1 picture is the mean colour of the whole window.
        _, _, one = rgba_pixels(os.path.join(self.dir, "scaled-1x1.png"))
        for a, b in zip(one[:3], mean(full)):
            self.assertLess(abs(a - b), 1.5)

    def test_unknown_or_vanished_window_fails_cleanly(self):
        status, lines, stderr = probe("capture", 0x1fffffff, 10, 10, os.path.join(self.dir, "none.png"))
        self.assertEqual(status, 1)
        self.assertIn("error", lines[0])
        self.assertEqual(stderr, b"")

        with start_target("Capture vanishing") as gone:
            window = gone.window
        status, lines, _ = probe("capture", window, 10, 10, os.path.join(self.dir, "gone.png"))
        self.assertEqual(status, 1)
        self.assertIn("error", lines[0])

    def test_absurd_sizes_are_refused(self):
        for width, height in [(0, 10), (10, -1), (100000, 10)]:
            status, lines, _ = probe("capture", self.app.window, width, height, os.path.join(self.dir, "bad.png"))
            self.assertEqual(status, 1, (width, height))
            self.assertIn("error", lines[0])


SCREENSAVER_XML = """
<node>
  <interface name="org.freedesktop.ScreenSaver">
    <method name="GetActive"><arg type="b" direction="out"/></method>
  </interface>
</node>
"""


class ScreenLock(TestCase):
    def test_unlocked_without_a_screen_saver(self):
        status, lines, _ = probe("session")
        self.assertEqual((status, lines), (0, [{"locked": False}]))

    def test_screen_saver_answer_is_the_lock_state(self):
        from gi.repository import Gio, GLib

        state = {"active": True}
        loop = GLib.MainLoop()
        bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
        info = Gio.DBusNodeInfo.new_for_xml(SCREENSAVER_XML).interfaces[0]

        def on_call(connection, sender, path, interface, method, params, invocation):
            invocation.return_value(GLib.Variant("(b)", (state["active"],)))

        registration = bus.register_object("/org/freedesktop/ScreenSaver", info, on_call, None, None)
        owned = threading.Event()
        owner = Gio.bus_own_name_on_connection(bus, "org.freedesktop.ScreenSaver", Gio.BusNameOwnerFlags.NONE,
                                               lambda *a: owned.set(), None)
        thread = threading.Thread(target=loop.run, daemon=True)
        thread.start()
        try:
            self.assertTrue(owned.wait(10))
            status, lines, _ = probe("session")
            self.assertEqual((status, lines), (0, [{"locked": True}]))
            state["active"] = False
            status, lines, _ = probe("session")
            self.assertEqual((status, lines), (0, [{"locked": False}]))
        finally:
            Gio.bus_unown_name(owner)
            bus.unregister_object(registration)
            loop.quit()
            thread.join(5)


if __name__ == "__main__":
    unittest.main()
