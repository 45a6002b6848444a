"""Shared helpers for the process and real-desktop tests.

    from harness import TestCase, run_computer, Session, start_app, ...

Paths come from the environment ctest sets (tests/e2e/CMakeLists.txt):
LARKSPIRE_COMPUTER, LARKSPIRE_OBSERVER, LARKSPIRE_FIXTURES, LARKSPIRE_PROBES,
LARKSPIRE_SOURCE, LARKSPIRE_BUILD. Run a test by hand with those set, e.g.

    LARKSPIRE_BUILD=build scripts/desktop /usr/bin/python3 tests/e2e/test_desktop_status.py

(unset variables fall back to the programs in $LARKSPIRE_BUILD, default build/).

Sanitizers: our programs send their stderr nowhere, so every child started
through this module writes its AddressSanitizer/UBSan reports into a private
folder instead; TestCase fails any test after which a report is found there.
"""

import atexit
import base64
import json
import os
import select
import shutil
import struct
import subprocess
import tempfile
import time
import unittest

SOURCE = os.environ.get("LARKSPIRE_SOURCE") or os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))))
BUILD = os.environ.get("LARKSPIRE_BUILD") or os.path.join(SOURCE, "build")
COMPUTER = os.environ.get("LARKSPIRE_COMPUTER") or os.path.join(BUILD, "larkspire-computer")
OBSERVER = os.environ.get("LARKSPIRE_OBSERVER") or os.path.join(BUILD, "larkspire-selection-observer")
FIXTURES = os.environ.get("LARKSPIRE_FIXTURES") or os.path.join(BUILD, "tests", "e2e", "fixtures")
PROBES = os.environ.get("LARKSPIRE_PROBES") or os.path.join(BUILD, "tests", "e2e", "probes")

# ---------------------------------------------------------------- sanitizers

SANITIZER_LOGS = tempfile.mkdtemp(prefix="larkspire-sanitizer-")


def child_env(extra=None, desktop=True):
    """The environment for a child: sanitizer reports go to SANITIZER_LOGS.

    With desktop=False the child gets no display and no session bus, as if
    started outside any desktop."""
    env = dict(os.environ)
    if not desktop:
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS"):
            env.pop(name, None)
    # The programs end with _exit, so leak checking would never run anyway.
    env["ASAN_OPTIONS"] = ":".join(filter(None, [
        env.get("ASAN_OPTIONS"), f"log_path={SANITIZER_LOGS}/asan", "detect_leaks=0"]))
    env["UBSAN_OPTIONS"] = ":".join(filter(None, [
        env.get("UBSAN_OPTIONS"), f"log_path={SANITIZER_LOGS}/ubsan", "print_stacktrace=1"]))
    env.update(extra or {})
    return env


def sanitizer_reports():
    """The text of every sanitizer report written so far (then removes them)."""
    reports = []
    for name in sorted(os.listdir(SANITIZER_LOGS)):
        path = os.path.join(SANITIZER_LOGS, name)
        with open(path, errors="replace") as f:
            reports.append(f"--- {name}\n{f.read()}")
        os.unlink(path)
    return reports


class TestCase(unittest.TestCase):
    """unittest.TestCase that fails when a child left a sanitizer report."""

    def run(self, result=None):
        sanitizer_reports()  # a report belongs to the test that caused it
        # A cleanup rather than tearDown, so subclasses need not call super().
        self.addCleanup(self._check_sanitizer_reports)
        return super().run(result)

    def _check_sanitizer_reports(self):
        reports = sanitizer_reports()
        if reports:
            self.fail("sanitizer report from a child process:\n" + "\n".join(reports))


# ---------------------------------------------------------- computer tool

class Result:
    """What one run of a program produced."""

    def __init__(self, status, stdout, stderr):
        self.status = status
        self.stdout = stdout
        self.stderr = stderr
        self.lines = [json.loads(line) for line in stdout.split(b"\n")[:-1]]

    @property
    def response(self):
        """The one response of a one-shot run."""
        assert len(self.lines) == 1, f"expected one line, got {self.stdout!r}"
        return self.lines[0]

    def __repr__(self):
        return f"Result(status={self.status}, stdout={self.stdout[:500]!r}, stderr={self.stderr[:500]!r})"


def run_computer(request, args=(), timeout=60, desktop=True, env=None):
    """Runs larkspire-computer once. request: a dict (sent as JSON), or
    str/bytes sent as they are. Returns a Result (status, lines, stderr)."""
    if isinstance(request, dict):
        request = json.dumps(request)
    if isinstance(request, str):
        request = request.encode()
    proc = subprocess.run([COMPUTER, *args], input=request, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout, env=child_env(env, desktop))
    return Result(proc.returncode, proc.stdout, proc.stderr)


def terminate(proc):
    """Ends a child politely, then firmly, and reaps it."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def fresh_path(prefix, name="state.json"):
    """A path nothing exists at yet and no other user can take first: a name
    in a new private folder, removed when the tests end."""
    folder = tempfile.mkdtemp(prefix=prefix)
    atexit.register(shutil.rmtree, folder, True)
    return os.path.join(folder, name)


class LineProcess:
    """A running program spoken to in lines: send() writes one line, read()
    waits for the next line of stdout. Use as a context manager."""

    def __init__(self, argv, desktop=True, env=None):
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=child_env(env, desktop))
        self._buffer = b""
        self.stdout = b""

    def send(self, message):
        if isinstance(message, dict):
            message = json.dumps(message)
        if isinstance(message, str):
            message = message.encode()
        self.proc.stdin.write(message + b"\n")
        self.proc.stdin.flush()

    def close_stdin(self):
        self.proc.stdin.close()
        self.proc.stdin = None

    def read_raw(self, timeout=30):
        """The next line of stdout without its line feed; None at end of output."""
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while b"\n" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"no line within {timeout} s (got {self._buffer!r})")
            if select.select([fd], [], [], left)[0]:
                chunk = os.read(fd, 65536)
                if not chunk:
                    return None
                self._buffer += chunk
                self.stdout += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line

    def read(self, timeout=30):
        """The next line parsed as JSON; None at end of output."""
        line = self.read_raw(timeout)
        return None if line is None else json.loads(line)

    def wait(self, timeout=30):
        """Waits for the exit; returns (status, rest of stdout, stderr)."""
        if self.proc.stdin is not None and self.proc.stdin.closed:
            self.proc.stdin = None
        out, err = self.proc.communicate(timeout=timeout)
        self.stdout += out
        return self.proc.returncode, self._buffer + out, err

    def stop(self):
        terminate(self.proc)
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if stream is None:
                continue
            try:
                stream.close()
            except (OSError, ValueError):
                pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def Session(desktop=True, env=None):
    """larkspire-computer --session."""
    return LineProcess([COMPUTER, "--session"], desktop=desktop, env=env)


# --------------------------------------------------------- desktop and apps

def wait_until(predicate, timeout=20, interval=0.05, what="condition"):
    """Polls predicate until it returns something truthy; returns that."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError(f"{what} not met within {timeout} s")
        time.sleep(interval)


def fixture(name):
    """Path of a built GTK fixture application (tests/e2e/fixtures/NAME.c)."""
    return os.path.join(FIXTURES, name)


def x_windows(pid, visible=True):
    """Ids of the X windows that belong to pid (per _NET_WM_PID)."""
    argv = ["xdotool", "search", "--pid", str(pid)]
    if visible:
        argv.insert(2, "--onlyvisible")
    out = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
    return [int(w) for w in out.split()]


class App:
    """A GTK application started for a test; its output goes to a log file
    (self.log_path) so toolkit warnings never reach the test's streams."""

    def __init__(self, argv, env=None, wait_window=True, timeout=30):
        fd, self.log_path = tempfile.mkstemp(prefix="larkspire-app-", suffix=".log")
        with os.fdopen(fd, "wb") as log:
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                         env=child_env(env))
        self.pid = self.proc.pid
        self.window = None
        if wait_window:
            self.window = wait_until(lambda: self._first_window(), timeout,
                                     what=f"a window of {argv[0]}")

    def _first_window(self):
        if self.proc.poll() is not None:
            raise RuntimeError(f"{self.proc.args[0]} exited with {self.proc.returncode}: {self.log()}")
        windows = x_windows(self.pid)
        return windows[0] if windows else None

    def log(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def stop(self):
        terminate(self.proc)
        try:
            os.unlink(self.log_path)
        except OSError:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


_DATA_HOME = None


def fixture_entry_env():
    """An environment in which the fixture app is the installed application
    "org.example.Fixture": the test desktop entries (tests/e2e/applications),
    an empty user data folder, and the fixtures on PATH."""
    global _DATA_HOME
    if _DATA_HOME is None:
        _DATA_HOME = tempfile.TemporaryDirectory(prefix="larkspire-data-home-")
    return {
        "XDG_DATA_DIRS": os.path.join(SOURCE, "tests", "e2e"),
        "XDG_DATA_HOME": _DATA_HOME.name,
        "PATH": FIXTURES + os.pathsep + os.environ.get("PATH", "/usr/bin:/bin"),
    }


def start_app(argv, **kwargs):
    """Starts an application (argv list, or a fixture name) and waits for its
    first visible window. Use as a context manager or call .stop()."""
    if isinstance(argv, str):
        argv = [fixture(argv)]
    return App(argv, **kwargs)


def window_geometry(window):
    """(x, y, width, height) of an X window's client area in root
    coordinates. xwininfo is used because xdotool misreports the position."""
    out = subprocess.run(["xwininfo", "-id", str(window)], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True, check=True).stdout
    fields = {}
    for line in out.splitlines():
        key, _, value = line.strip().partition(":")
        fields[key] = value.strip()
    return (int(fields["Absolute upper-left X"]), int(fields["Absolute upper-left Y"]),
            int(fields["Width"]), int(fields["Height"]))


def set_accessibility_enabled(enabled=True):
    """Sets org.a11y.Status.IsEnabled, what 'turning accessibility on' means."""
    subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                    "org.freedesktop.DBus.Properties.Set", "string:org.a11y.Status",
                    "string:IsEnabled", f"variant:boolean:{'true' if enabled else 'false'}"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


# ------------------------------------------------------------- accessibility

def accessible_app(pid, timeout=20):
    """The AT-SPI application accessible of process pid (waits for it)."""
    import pyatspi

    def find():
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            try:
                if app is not None and app.get_process_id() == pid:
                    return app
            except Exception:
                continue
        return None
    return wait_until(find, timeout, what=f"accessible application of pid {pid}")


def accessible_tree(node, depth=0, max_depth=30):
    """A plain dict of a subtree: role, name, states, actions, extents, children."""
    import pyatspi
    states = node.getState()
    entry = {
        "role": node.getRoleName(),
        "name": node.name,
        "states": sorted(pyatspi.stateToString(s) for s in states.getStates()),
        "children": [],
    }
    try:
        action = node.queryAction()
        entry["actions"] = [action.getName(i) for i in range(action.nActions)]
    except NotImplementedError:
        entry["actions"] = []
    try:
        e = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        entry["extents"] = (e.x, e.y, e.width, e.height)
    except NotImplementedError:
        entry["extents"] = None
    if depth < max_depth:
        for i in range(node.childCount):
            child = node.getChildAtIndex(i)
            if child is not None:
                entry["children"].append(accessible_tree(child, depth + 1, max_depth))
    return entry


def find_accessible(node, role=None, name=None):
    """First node (depth first) with the given AT-SPI role name and/or name."""
    if (role is None or node.getRoleName() == role) and (name is None or node.name == name):
        return node
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            found = find_accessible(child, role, name)
            if found is not None:
                return found
    return None


# ---------------------------------------------------------------- pictures

def png_size(data):
    """(width, height) from PNG bytes; raises ValueError when not a PNG."""
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        raise ValueError("not a PNG")
    return struct.unpack(">II", data[16:24])


def decode_png(text):
    """PNG bytes from base64 text, checked to be a PNG."""
    data = base64.b64decode(text, validate=True)
    png_size(data)
    return data


def screenshot(path, window="root", crop=None):
    """Saves a PNG of the screen (or of one X window) with ImageMagick;
    crop: a rectangle dict (x, y, width, height) of it to keep."""
    area = ["-crop", "{width:.0f}x{height:.0f}+{x:.0f}+{y:.0f}".format(**crop), "+repage"] if crop else []
    subprocess.run(["import", "-window", str(window), *area, path], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return path


def pixel(path, x, y):
    """(r, g, b) of one pixel of an image file, 8 bits each."""
    out = subprocess.run(["convert", path, "-crop", f"1x1+{x}+{y}", "-depth", "8", "rgb:-"],
                         stdout=subprocess.PIPE, check=True).stdout
    return tuple(out[:3])


def image_difference(path_a, path_b):
    """Root-mean-square difference of two pictures, 0 (same) to 1 (opposite),
    after scaling the first to the size of the second (ImageMagick)."""
    with open(path_b, "rb") as f:
        width, height = png_size(f.read())
    scaled = path_a + ".scaled.png"
    subprocess.run(["convert", path_a, "-resize", f"{width}x{height}!", scaled], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # compare exits 1 when the pictures differ at all; the metric is on stderr.
    out = subprocess.run(["compare", "-metric", "RMSE", scaled, path_b, "null:"],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True).stderr
    os.unlink(scaled)
    return float(out.split("(")[1].split(")")[0])


def has_tool(name):
    return shutil.which(name) is not None
