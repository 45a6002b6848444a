#!/usr/bin/env python3
"""'observe' of a real window on the headless desktop: the fixture
application with a few hundred elements in a 1000 x 700 point window (a
1600 x 1120 pixel picture). Runs the staged benchmark program (tree walk,
capture, scaling, PNG encoding, whole observe in-process), then times the
real 'larkspire-computer' answering an observe request, process start
included. Measures, never asserts.

    LARKSPIRE_CMAKE_OPTIONS=-DLARKSPIRE_BENCHMARKS=ON scripts/build --release build-bench
    scripts/desktop /usr/bin/python3 benchmarks/observe_desktop.py [BUILD] [ROWS]

BUILD defaults to $LARKSPIRE_BUILD or build-bench/; ROWS (labels in the
scrolled list) to 300.
"""

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("LARKSPIRE_BUILD",
                                                                 os.path.join(SOURCE, "build-bench"))
    rows = sys.argv[2] if len(sys.argv) > 2 else "300"
    os.environ["LARKSPIRE_BUILD"] = build
    import harness  # finds the programs in LARKSPIRE_BUILD

    benchmark = os.path.join(build, "benchmarks", "observe_desktop_benchmark")
    if not os.access(benchmark, os.X_OK):
        sys.exit(f"{benchmark} is missing: configure {build} with -DLARKSPIRE_BENCHMARKS=ON")

    harness.set_accessibility_enabled(True)
    env = harness.fixture_entry_env()
    state = tempfile.mktemp(prefix="larkspire-bench-", suffix=".json")
    app = harness.start_app([harness.fixture("fixture_app"), "--rows", rows, "--size", "1000x700",
                             "--state-file", state], env=env)
    try:
        harness.wait_until(lambda: os.path.exists(state), what="the fixture")
        time.sleep(1.0)
        print(f"window: fixture_app --rows {rows} --size 1000x700", flush=True)
        subprocess.run([benchmark, "--benchmark_counters_tabular=true"], env=harness.child_env(env), check=True)

        request = json.dumps({"operation": "observe", "appId": "org.example.Fixture"}).encode()
        times = []
        response = {}
        for _ in range(15):
            start = time.monotonic()
            result = harness.run_computer(request, env=env)
            times.append((time.monotonic() - start) * 1000)
            response = result.response
            if not response.get("ok"):
                sys.exit(f"observe failed: {response}")
        data = response["data"]
        times.sort()
        print(f"\nlarkspire-computer observe, process start to answer ({len(times)} runs): "
              f"median {statistics.median(times):.1f} ms, best {times[0]:.1f} ms, worst {times[-1]:.1f} ms; "
              f"{len(data['elements'])} elements, picture {data['image']['width']} x {data['image']['height']}")
    finally:
        app.stop()
        if os.path.exists(state):
            os.unlink(state)


if __name__ == "__main__":
    main()
