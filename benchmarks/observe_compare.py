#!/usr/bin/env python3
"""'observe' of the 300-row fixture by two builds side by side, in one run:
each round runs the whole in-process observe (observe_desktop_benchmark's
BM_Observe) of one build and then of the other, in an order that alternates
round by round, on the same window of the same desktop. Prints each build's
median and the ratio of the medians (second over first): what a change that
must not slow observe down is checked with.

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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from observe_desktop import Bench, load  # noqa: E402


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
    times = {first: [], second: []}
    try:
        for r in range(rounds):
            order = (first, second) if r % 2 == 0 else (second, first)
            for build in order:
                times[build].append(observe_ms(bench, build))
            print(f"round {r + 1}: " + ", ".join(f"{b} {times[b][-1]:.1f} ms" for b in (first, second)), flush=True)
    finally:
        bench.stop(app)
    medians = {b: statistics.median(t) for b, t in times.items()}
    for b in (first, second):
        print(f"{b}: median {medians[b]:.1f} ms (best {min(times[b]):.1f}, worst {max(times[b]):.1f})")
    print(f"ratio {second} / {first}: {medians[second] / medians[first]:.3f}")
    print(f"end: {load()}")


if __name__ == "__main__":
    main()
