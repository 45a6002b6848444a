#!/usr/bin/env python3
"""Where an 'observe' goes, counted rather than timed: for gtk3-widget-factory
and fixture windows of 2, 300, 1000 and 2900 nodes, one run of the real
'larkspire-computer' with benchmarks/call_counter.so loaded tells the D-Bus
calls by method (per node walked), the objects whose facts were read more
than once, the batches of calls (GLib main contexts made for those over
GDBus, sends then reads for those over libdbus), and when
the windows were redirected and each picture grabbed. Then the CPU time of
one observe of gtk3-widget-factory split between our process, the
application and the X server (medians of 5), and `strace -f -c` of one.

The application's private connection carries almost every call, which
dbus-monitor on the accessibility bus cannot see: hence the counter.

    LARKSPIRE_CMAKE_OPTIONS=-DLARKSPIRE_BENCHMARKS=ON scripts/build --release build-bench
    scripts/desktop /usr/bin/python3 benchmarks/observe_profile.py [BUILD]
"""

import collections
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))

WINDOWS = [  # label, application id, fixture arguments (None: gtk3-widget-factory)
    ("gtk3-widget-factory", "gtk3-widget-factory", None),
    ("fixture, 2 nodes", "org.example.ProfileBare", ["--bare", "--size", "200x100"]),
    ("fixture, 300 nodes", "org.example.Profile300", ["--rows", "284", "--size", "1000x700"]),
    ("fixture, 1000 nodes", "org.example.Profile1000", ["--rows", "982", "--group", "500", "--size", "1000x700"]),
    ("fixture, 2900 nodes", "org.example.Profile2900", ["--rows", "2878", "--group", "500", "--size", "1000x700"]),
]


def cpu_ms(pid):
    """User and system CPU time of a process so far, in ms."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * 1000 / os.sysconf("SC_CLK_TCK")


def x_server():
    """The Xvfb process of this desktop: scripts/desktop started it beside us."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                name, rest = f.read().rsplit(")", 1)
        except OSError:
            continue
        if name.endswith("(Xvfb") and int(rest.split()[1]) == os.getppid():
            return int(pid)
    return None


def counted(lines):
    calls, facts = collections.Counter(), {}
    for line in lines:
        kind, *rest = line.split("\t")
        if kind == "call":
            calls[rest[0]] = int(rest[1])
        else:
            facts[kind] = rest
    return calls, facts


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("LARKSPIRE_BUILD",
                                                                 os.path.join(SOURCE, "build-bench"))
    os.environ["LARKSPIRE_BUILD"] = build
    import harness
    counter = os.path.join(build, "benchmarks", "call_counter.so")
    if not os.path.exists(counter):
        sys.exit(f"{counter} is missing: configure {build} with -DLARKSPIRE_BENCHMARKS=ON")

    harness.set_accessibility_enabled(True)
    entries = tempfile.TemporaryDirectory(prefix="larkspire-profile-entries-")
    os.makedirs(os.path.join(entries.name, "applications"))
    env = harness.fixture_entry_env()
    env["XDG_DATA_DIRS"] = os.pathsep.join([env["XDG_DATA_DIRS"], entries.name, "/usr/local/share", "/usr/share"])
    out = tempfile.NamedTemporaryFile(prefix="larkspire-calls-", delete=False).name

    def observe(app_id, extra=None, prefix=()):
        request = json.dumps({"operation": "observe", "appId": app_id}).encode()
        proc = subprocess.run([*prefix, harness.COMPUTER], input=request, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, env=harness.child_env(dict(env, **(extra or {}))),
                              timeout=120)
        response = json.loads(proc.stdout)
        if not response.get("ok"):
            sys.exit(f"observe of {app_id} failed: {response}")
        return response

    apps = {}
    try:
        for label, app_id, args in WINDOWS:
            if args is None:
                apps[label] = harness.start_app(["gtk3-widget-factory"], env=env, timeout=60)
                continue
            with open(os.path.join(entries.name, "applications", app_id + ".desktop"), "w") as f:
                f.write(f"[Desktop Entry]\nType=Application\nName={app_id}\nExec=fixture_app\n")
            apps[label] = harness.start_app([harness.fixture("fixture_app"), "--app-id", app_id, *args],
                                            env=env, timeout=120)
        time.sleep(3.0)
        for _, app_id, _ in WINDOWS:
            observe(app_id)  # applications build their accessibles on the first walk

        print(f"load average {', '.join(f'{x:.2f}' for x in os.getloadavg())} on {os.cpu_count()} cores\n")
        print(f"{'window':22}{'nodes':>6}{'calls':>7}{'/node':>6}{'again':>6}{'batches':>8}"
              f"{'grabs':>6}  redirect -> grabs -> exit (ms from start)")
        methods = {}
        for label, app_id, _ in WINDOWS:
            observe(app_id, {"LD_PRELOAD": counter, "LARKSPIRE_CALL_COUNTS": out})
            with open(out) as f:
                calls, facts = counted(f.read().splitlines())
            nodes, again = (int(x) for x in facts["objects"])
            batches = int(facts["contexts"][0]) + int(facts.get("peerbatches", ["0"])[0])
            methods[label] = (calls, nodes)
            capture = [float(x) for x in facts["capture"]]
            total = sum(calls.values())
            print(f"{label:22}{nodes:6d}{total:7d}{total / max(nodes, 1):6.1f}{again:6d}"
                  f"{batches:8d}{len(capture) - 1:6d}  {capture[0]:.0f} -> "
                  f"{' '.join(f'{x:.0f}' for x in capture[1:])} -> {float(facts['exit'][0]):.0f}")

        label = WINDOWS[0][0]
        calls, nodes = methods[label]
        print(f"\ncalls of one observe of {label} ({nodes} objects read), by method:")
        for method, count in calls.most_common():
            print(f"  {count:6d}  {count / max(nodes, 1):5.2f} per object  {method}")

        app = apps[label]
        server = x_server()
        ours, theirs, xs, walls = [], [], [], []
        for _ in range(5):
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            app_before, x_before = cpu_ms(app.pid), cpu_ms(server) if server else 0
            start = time.monotonic()
            observe(WINDOWS[0][1])
            walls.append((time.monotonic() - start) * 1000)
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            ours.append((after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime) * 1000)
            theirs.append(cpu_ms(app.pid) - app_before)
            xs.append(cpu_ms(server) - x_before if server else float("nan"))
        print(f"\nCPU of one observe of {label} (medians of 5): ours {statistics.median(ours):.0f} ms, "
              f"the application {statistics.median(theirs):.0f} ms, the X server {statistics.median(xs):.0f} ms; "
              f"wall {statistics.median(walls):.0f} ms")

        if shutil.which("strace"):
            trace = out + ".strace"
            observe(WINDOWS[0][1], prefix=["strace", "-f", "-c", "-o", trace])
            with open(trace) as f:
                rows = [line.split() for line in f.read().splitlines()[2:] if line and not line.startswith("-")]
            rows = [r for r in rows if len(r) >= 5 and r[-1] != "total"]
            print("\nstrace -f -c of one observe (calls): " +
                  ", ".join(f"{r[-1]} {r[3]}" for r in sorted(rows, key=lambda r: -int(r[3]))[:8]))
            os.unlink(trace)
    finally:
        for app in apps.values():
            app.stop()
        os.unlink(out)


if __name__ == "__main__":
    main()
