#!/usr/bin/env python3
"""'observe' of real windows on the headless desktop, in one run:

1. Stages: the fixture application with 300 rows in a 1000 x 700 point
   window (a 1600 x 1157 pixel picture). Runs the staged benchmark program
   (window resolution, tree walk, capture, then scaling and PNG encoding,
   made together a band at a time; whole observe in-process), then times the real 'larkspire-computer' answering
   an observe request, process start included.
2. Peer: gtk3-widget-factory's window, 'larkspire-computer' observe next to
   what a user would script instead (benchmarks/peer_observe.py: a pyatspi
   walk reading what our walk reads, then ImageMagick's `import -window`),
   in interleaved pairs whose order alternates, each a whole process. Wall
   time and CPU time (the process and its children, from getrusage) per
   run, medians, and the ratio of the medians; the nodes each side walked.
3. Fixed cost: a fixture window of 2 nodes (200 x 100 points holding one
   label) alone on the screen, observed through the program ROUNDS x 2
   times: process start, display, buses, the application's private
   connection, window resolution, a 2-node walk and a picture too small
   to matter. Alone, so that nothing covers it: a covered window is
   redirected and waited for until it has repainted its covered parts.
4. Sweep and limits: fixture windows of 2, 100, 300, 1000 and 2900 nodes,
   one of 3000 (at the node limit), one of 3001 and one whose row box has
   1001 children (over the limits), all open at once and observed through
   the program in rounds, one window after the other in an order that
   turns each round. The per-node slope is the least-squares line through
   the medians of the four sweep windows, all 1000 x 700 points so that
   their pictures cost the same; the slope between neighbouring sizes is
   printed too, since the line hides a curve. Nodes are counted by the
   benchmark program's own walk (--nodes), not assumed; for a refused
   window they are the nodes visited before the refusal.

Measures, never asserts. Load is printed at the start and the end.

    LARKSPIRE_CMAKE_OPTIONS=-DLARKSPIRE_BENCHMARKS=ON scripts/build --release build-bench
    scripts/desktop /usr/bin/python3 benchmarks/observe_desktop.py [BUILD] [PAIRS] [ROUNDS]

BUILD defaults to $LARKSPIRE_BUILD or build-bench/; PAIRS (peer comparison)
to 9; ROUNDS (sweep) to 7.
"""

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
PEER = os.path.join(SOURCE, "benchmarks", "peer_observe.py")

# (label, fixture arguments, nodes the window is built to have). The fixture
# window has 16 nodes without rows; each row is one node, each --group box one.
BARE = ["--bare", "--size", "200x100"]
SWEEP = [
    ("2 nodes", BARE, 2),
    ("100 nodes", ["--rows", "84"], 100),
    ("300 nodes", ["--rows", "284"], 300),
    ("1000 nodes", ["--rows", "982", "--group", "500"], 1000),
    ("2900 nodes", ["--rows", "2878", "--group", "500"], 2900),
    ("at limit", ["--rows", "2978", "--group", "500"], 3000),
    ("over nodes", ["--rows", "2979", "--group", "500"], 3001),
    ("over children", ["--rows", "1001"], 1017),
]
SLOPE_OVER = ("100 nodes", "300 nodes", "1000 nodes", "2900 nodes")


def load():
    return "load average " + ", ".join(f"{x:.2f}" for x in os.getloadavg())


def timed(run):
    """(result of run(), wall ms, CPU ms of the children it waited for)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    result = run()
    wall = (time.monotonic() - start) * 1000
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime) * 1000
    return result, wall, cpu


def median(values):
    return statistics.median(values) if values else float("nan")


class Bench:
    def __init__(self, build):
        import harness
        self.harness = harness
        self.build = build
        self.program = os.path.join(build, "benchmarks", "observe_desktop_benchmark")
        if not os.access(self.program, os.X_OK):
            sys.exit(f"{self.program} is missing: configure {build} with -DLARKSPIRE_BENCHMARKS=ON")
        self.entries = tempfile.TemporaryDirectory(prefix="larkspire-bench-entries-")
        os.makedirs(os.path.join(self.entries.name, "applications"))
        self.env = harness.fixture_entry_env()
        # The test entries, ours for the sweep windows, and the system's
        # (gtk3-widget-factory's).
        self.env["XDG_DATA_DIRS"] = os.pathsep.join(
            [self.env["XDG_DATA_DIRS"], self.entries.name, "/usr/local/share", "/usr/share"])

    def entry(self, app_id):
        with open(os.path.join(self.entries.name, "applications", app_id + ".desktop"), "w") as f:
            f.write(f"[Desktop Entry]\nType=Application\nName={app_id}\nExec=fixture_app\n")

    def fixture(self, args, app_id="org.example.Fixture", size=("--size", "1000x700")):
        state = os.path.join(tempfile.mkdtemp(prefix="larkspire-bench-"), "state.json")
        argv = [self.harness.fixture("fixture_app"), "--app-id", app_id, "--title", app_id,
                "--state-file", state, *args]
        if "--size" not in args:
            argv += size
        app = self.harness.start_app(argv, env=self.env, timeout=120)
        self.harness.wait_until(lambda: os.path.exists(state), timeout=120, what="the fixture's state")
        app.state = state
        return app

    def stop(self, app):
        app.stop()
        if getattr(app, "state", None):
            shutil.rmtree(os.path.dirname(app.state), ignore_errors=True)

    def observe(self, app_id):
        request = json.dumps({"operation": "observe", "appId": app_id}).encode()
        return self.harness.run_computer(request, env=self.env, timeout=120).response

    def nodes(self, app_id):
        out = subprocess.run([self.program, "--nodes"], stdout=subprocess.PIPE, check=True,
                             env=self.harness.child_env(dict(self.env, LARKSPIRE_BENCH_APP=app_id))).stdout
        return json.loads(out)

    # ------------------------------------------------------------ stages
    def stages(self, rows):
        app = self.fixture(["--rows", rows])
        try:
            time.sleep(1.0)
            print(f"== 1. stages: fixture_app --rows {rows} --size 1000x700, in-process", flush=True)
            subprocess.run([self.program, "--benchmark_counters_tabular=true"],
                           env=self.harness.child_env(self.env), check=True)
            walls, cpus, data = [], [], {}
            for _ in range(15):
                response, wall, cpu = timed(lambda: self.observe("org.example.Fixture"))
                if not response.get("ok"):
                    sys.exit(f"observe failed: {response}")
                data = response["data"]
                walls.append(wall)
                cpus.append(cpu)
            print(f"\nlarkspire-computer observe, process start to answer ({len(walls)} runs): "
                  f"median {median(walls):.1f} ms (CPU {median(cpus):.1f} ms), best {min(walls):.1f} ms, "
                  f"worst {max(walls):.1f} ms; {len(data['elements'])} elements, "
                  f"picture {data['image']['width']} x {data['image']['height']}", flush=True)
        finally:
            self.stop(app)

    # -------------------------------------------------------------- peer
    def peer(self, pairs):
        app = self.harness.start_app(["gtk3-widget-factory"], env=self.env, timeout=60)
        try:
            time.sleep(2.0)  # its first frames and the spinner's start
            app_id = "gtk3-widget-factory"
            ours_nodes = self.nodes(app_id)
            peer_argv = ["/usr/bin/python3", PEER, str(app.pid), str(app.window)]

            def ours():
                response = self.observe(app_id)
                if not response.get("ok"):
                    sys.exit(f"observe of gtk3-widget-factory failed: {response}")
                image = response["data"]["image"]
                return f"{image['width']} x {image['height']}"

            def theirs():
                out = subprocess.run(peer_argv, stdout=subprocess.PIPE, check=True,
                                     env=self.harness.child_env(self.env)).stdout
                return json.loads(out)

            ours(), theirs()  # warm: the application builds its accessibles on first read
            times = {"ours": [], "peer": []}
            picture, peer_answer = None, None
            for i in range(pairs):
                order = ("ours", "peer") if i % 2 == 0 else ("peer", "ours")
                for side in order:
                    if side == "ours":
                        picture, wall, cpu = timed(ours)
                    else:
                        peer_answer, wall, cpu = timed(theirs)
                    times[side].append((wall, cpu))
            ours_wall = median([w for w, _ in times["ours"]])
            peer_wall = median([w for w, _ in times["peer"]])
            print(f"\n== 2. gtk3-widget-factory ({' x '.join(map(str, self.harness.window_geometry(app.window)[2:]))}"
                  f" client window), {pairs} interleaved pairs, process start included", flush=True)
            print(f"{'':34}{'wall ms':>9}{'CPU ms':>9}{'nodes':>7}  picture")
            print(f"{'larkspire-computer observe':34}{ours_wall:9.1f}"
                  f"{median([c for _, c in times['ours']]):9.1f}{ours_nodes['nodes']:7d}  {picture}")
            print(f"{'pyatspi walk + import -window':34}{peer_wall:9.1f}"
                  f"{median([c for _, c in times['peer']]):9.1f}{peer_answer['nodes']:7d}  "
                  f"{peer_answer['width']} x {peer_answer['height']}")
            print(f"ratio of medians (ours / peer): {ours_wall / peer_wall:.2f}; "
                  f"records: {ours_nodes.get('records')}", flush=True)
        finally:
            app.stop()

    # -------------------------------------------------------- fixed cost
    def fixed(self, runs):
        self.entry("org.example.BenchFixed")
        app = self.fixture(BARE, "org.example.BenchFixed")
        try:
            time.sleep(1.0)
            nodes = self.nodes("org.example.BenchFixed")["nodes"]
            self.observe("org.example.BenchFixed")
            times = [timed(lambda: self.observe("org.example.BenchFixed"))[1:] for _ in range(runs)]
            walls = sorted(w for w, _ in times)
            print(f"\n== 3. fixed cost: a {nodes}-node 200 x 100 window alone, {runs} runs, process start included",
                  flush=True)
            print(f"median {median(walls):.1f} ms (CPU {median([c for _, c in times]):.1f} ms), "
                  f"best {walls[0]:.1f} ms, worst {walls[-1]:.1f} ms", flush=True)
        finally:
            self.stop(app)

    # ------------------------------------------------------------- sweep
    def sweep(self, rounds):
        apps = {}
        try:
            for k, (label, args, _) in enumerate(SWEEP):
                app_id = f"org.example.BenchSweep{k}"
                self.entry(app_id)
                apps[label] = (app_id, self.fixture(args, app_id))
            time.sleep(2.0)
            counted = {label: self.nodes(app_id) for label, (app_id, _) in apps.items()}
            times = {label: [] for label in apps}
            answers = {label: set() for label in apps}
            labels = list(apps)
            for r in range(rounds):
                for k in range(len(labels)):
                    label = labels[(k + r) % len(labels)]
                    response, wall, cpu = timed(lambda: self.observe(apps[label][0]))
                    answers[label].add("ok" if response.get("ok") else response.get("code"))
                    times[label].append((wall, cpu))
            print(f"\n== 4. sweep and limits: {rounds} rounds, all {len(apps)} windows open, "
                  "process start included", flush=True)
            print(f"{'window':15}{'built':>7}{'walked':>8}{'wall ms':>9}{'CPU ms':>9}{'ms/node':>9}  answer")
            medians = {}
            previous = None
            for label, _, built in SWEEP:
                walls = [w for w, _ in times[label]]
                medians[label] = median(walls)
                walked = counted[label]["nodes"]
                step = ""
                if label in SLOPE_OVER and previous:
                    step = f"{(medians[label] - medians[previous]) / (walked - counted[previous]['nodes']):.3f}"
                if label in SLOPE_OVER:
                    previous = label
                print(f"{label:15}{built:7d}{walked:8d}{medians[label]:9.1f}"
                      f"{median([c for _, c in times[label]]):9.1f}{step:>9}  {','.join(sorted(answers[label]))}")
            xs = [counted[label]["nodes"] for label in SLOPE_OVER]
            ys = [medians[label] for label in SLOPE_OVER]
            mx, my = statistics.fmean(xs), statistics.fmean(ys)
            slope = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)
            print(f"slope over the sweep, 100 to 2900 nodes (least squares of the medians): "
                  f"{slope:.4f} ms per node, {my - slope * mx:.1f} ms at 0 nodes (1000 x 700 picture)")
            print(f"refused: over nodes {medians['over nodes']:.1f} ms, over children "
                  f"{medians['over children']:.1f} ms, next to {medians['at limit']:.1f} ms at the limit", flush=True)
        finally:
            for _, app in apps.values():
                self.stop(app)


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("LARKSPIRE_BUILD",
                                                                 os.path.join(SOURCE, "build-bench"))
    pairs = int(sys.argv[2]) if len(sys.argv) > 2 else 9
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 7
    os.environ["LARKSPIRE_BUILD"] = build
    bench = Bench(build)
    bench.harness.set_accessibility_enabled(True)
    print(f"start: {load()} on {os.cpu_count()} cores", flush=True)
    bench.stages("300")
    bench.peer(pairs)
    bench.fixed(2 * rounds)
    bench.sweep(rounds)
    print(f"\nend: {load()}")


if __name__ == "__main__":
    main()
