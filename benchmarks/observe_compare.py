#!/usr/bin/env python3
"""'observe' by two builds side by side, in one run: each round observes
with one build and then with the other, in an order that alternates round
by round, on the same window of the same desktop. Prints each build's
median and the ratio of the medians (second over first): what a change that
must not slow observe down is checked with.

1. In-process: the whole observe of the 300-row fixture
   (observe_desktop_benchmark's BM_Observe).
2. Through the program (`larkspire-computer`, process start included):
   the fixed-cost window (a 2-node 200 x 100 fixture window, alone on the
   screen) and gtk3-widget-factory's window (260 nodes, a 1600 x 867
   picture), each alone, wall and CPU time.

    LARKSPIRE_CMAKE_OPTIONS=-DLARKSPIRE_BENCHMARKS=ON scripts/build --release OLD
    LARKSPIRE_CMAKE_OPTIONS=-DLARKSPIRE_BENCHMARKS=ON scripts/build --release NEW
    scripts/desktop /usr/bin/python3 benchmarks/observe_compare.py OLD NEW [ROUNDS]

ROUNDS defaults to 9. Measures, never asserts.
"""

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from observe_desktop import BARE, Bench, load, timed  # noqa: E402


def observe_ms(bench, build):
    program = os.path.join(build, "benchmarks", "observe_desktop_benchmark")
    with tempfile.NamedTemporaryFile(prefix="larkspire-compare-", suffix=".json") as out:
        subprocess.run([program, "--benchmark_filter=^BM_Observe(/|$)", f"--benchmark_out={out.name}",
                        "--benchmark_out_format=json"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=True,
                       env=bench.harness.child_env(bench.env))
        runs = json.load(out)["benchmarks"]
    if not runs or runs[0].get("error_occurred"):
        sys.exit(f"{build}: observe failed: {runs}")
    return runs[0]["real_time"]


def program_ms(bench, build, app_id):
    """(wall ms, CPU ms) of one observe through the build's larkspire-computer."""
    request = json.dumps({"operation": "observe", "appId": app_id}).encode()
    program = os.path.join(build, "larkspire-computer")

    def run():
        return subprocess.run([program], input=request, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              env=bench.harness.child_env(bench.env), timeout=120).stdout

    out, wall, cpu = timed(run)
    response = json.loads(out)
    if not response.get("ok"):
        sys.exit(f"{build}: observe of {app_id} failed: {response}")
    return wall, cpu


def compare(first, second, rounds, label, measure):
    times = {first: [], second: []}
    for r in range(rounds):
        order = (first, second) if r % 2 == 0 else (second, first)
        for build in order:
            times[build].append(measure(build))
    print(f"\n== {label}, {rounds} rounds")
    medians = {}
    for b in (first, second):
        walls = [t[0] if isinstance(t, tuple) else t for t in times[b]]
        medians[b] = statistics.median(walls)
        line = f"{b}: median {medians[b]:.1f} ms (best {min(walls):.1f}, worst {max(walls):.1f})"
        if isinstance(times[b][0], tuple):
            line += f", CPU median {statistics.median(t[1] for t in times[b]):.1f} ms"
        print(line)
    print(f"ratio {second} / {first}: {medians[second] / medians[first]:.3f}", flush=True)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    first, second = sys.argv[1], sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 9
    # The fixture application of the second build serves both.
    os.environ["LARKSPIRE_BUILD"] = second
    bench = Bench(second)
    Bench(first)  # checks that its program exists
    bench.harness.set_accessibility_enabled(True)
    print(f"start: {load()} on {os.cpu_count()} cores", flush=True)

    app = bench.fixture(["--rows", "300"])
    try:
        compare(first, second, rounds, "1. in-process observe, fixture_app --rows 300",
                lambda build: observe_ms(bench, build))
    finally:
        bench.stop(app)

    bench.entry("org.example.BenchFixed")
    app = bench.fixture(BARE, "org.example.BenchFixed")
    try:
        time.sleep(1.0)
        for build in (first, second):
            program_ms(bench, build, "org.example.BenchFixed")
        compare(first, second, rounds, "2. fixed cost through the program: a 2-node 200 x 100 window alone",
                lambda build: program_ms(bench, build, "org.example.BenchFixed"))
    finally:
        bench.stop(app)

    app = bench.harness.start_app(["gtk3-widget-factory"], env=bench.env, timeout=60)
    try:
        time.sleep(2.0)  # its first frames and the spinner's start
        for build in (first, second):
            program_ms(bench, build, "gtk3-widget-factory")
        compare(first, second, rounds, "3. gtk3-widget-factory through the program",
                lambda build: program_ms(bench, build, "gtk3-widget-factory"))
    finally:
        app.stop()
    print(f"\nend: {load()}")


if __name__ == "__main__":
    main()
