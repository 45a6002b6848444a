#!/usr/bin/env python3
"""How long the programs take to answer when the desktop stops answering,
as ratios to a normal "observe" of the fixture window in the same round.
Runs every scenario ROUNDS times in a row on the headless desktop and
prints one table: the answers seen, the median and the largest time, and
the same as ratios. A run that takes over 40 s counts as a hang. Measures,
never asserts (tests/e2e/test_desktop_bounded_time.py and
test_desktop_lost_services.py assert the answers and generous bounds).

    scripts/build --release
    scripts/desktop /usr/bin/python3 benchmarks/bounded_time.py [BUILD] [ROUNDS]

BUILD defaults to $LARKSPIRE_BUILD or build-release/; ROUNDS to 20.
"""

import json
import os
import signal
import statistics
import subprocess
import sys
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
HANG = 40.0


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("LARKSPIRE_BUILD",
                                                                 os.path.join(SOURCE, "build-release"))
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    os.environ["LARKSPIRE_BUILD"] = build
    import harness
    from test_desktop_bounded_time import SilentDisplay, StoppedProcess, desktop_xvfb
    from test_desktop_lost_services import accessibility_bus_daemon, marked_processes

    env = harness.fixture_entry_env()
    observe = {"operation": "observe", "appId": "org.example.Fixture"}
    results = {}  # scenario -> list of (answer, seconds, ratio)

    def run(request, extra=None, args=(), stdin=None):
        start = time.monotonic()
        if stdin is not None:
            proc = subprocess.run([harness.COMPUTER, *args], stdin=stdin, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, env=harness.child_env(dict(env, **(extra or {}))),
                                  timeout=HANG)
            out = proc.stdout
        else:
            out = harness.run_computer(request, args=args, env=dict(env, **(extra or {})), timeout=HANG).stdout
        took = time.monotonic() - start
        answer = json.loads(out) if out.strip() else None
        return answer, took

    def code(answer):
        if answer is None:
            return "no output"
        if answer.get("ok"):
            data = answer["data"]
            if "accessibility" in data:
                return "ok " + ",".join(f"{k}={str(v).lower()}" for k, v in sorted(data.items()))
            return "ok"
        return answer["code"]

    def note(name, answer, took, yardstick):
        results.setdefault(name, []).append((answer if isinstance(answer, str) else code(answer), took,
                                             took / yardstick))

    def normal():
        times = []
        for _ in range(3):
            answer, took = run(observe)
            if not answer or not answer.get("ok"):
                raise RuntimeError(f"normal observe failed: {answer}")
            times.append(took)
        return statistics.median(times)

    for round_number in range(rounds):
        harness.set_accessibility_enabled(True)
        with harness.start_app([harness.fixture("fixture_app"), "--title", "Fixture"], env=env):
            harness.wait_until(lambda: run(observe)[0].get("ok"), timeout=30)
            yardstick = normal()
            note("normal observe (yardstick)", {"ok": True, "data": {}}, yardstick, yardstick)

            with StoppedProcess(desktop_xvfb()):
                for name, request in (("stopped X: status", {"operation": "status"}),
                                      ("stopped X: apps", {"operation": "apps"}),
                                      ("stopped X: observe", observe)):
                    answer, took = run(request)
                    note(name, answer, took, yardstick)
            # Stopped during an observe: early (in the walk, X calls to
            # come) and late (picture done or being encoded).
            for share in (0.2, 0.7):
                start = time.monotonic()
                proc = subprocess.Popen([harness.COMPUTER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, env=harness.child_env(env))
                proc.stdin.write(json.dumps(observe).encode())
                proc.stdin.close()
                time.sleep(yardstick * share)
                with StoppedProcess(desktop_xvfb()):
                    stopped = time.monotonic()
                    out = proc.stdout.read()
                    proc.wait(HANG)
                    answered = time.monotonic()
                note(f"X stopped at {share:.0%} of an observe: from the stop", json.loads(out),
                     answered - stopped, yardstick)
            with SilentDisplay() as display:
                for name, request in (("silent DISPLAY: status", {"operation": "status"}),
                                      ("silent DISPLAY: observe", observe)):
                    answer, took = run(request, {"DISPLAY": display.name})
                    note(name, answer, took, yardstick)
                start = time.monotonic()
                with harness.LineProcess([harness.OBSERVER], env={"DISPLAY": display.name}) as watcher:
                    first = watcher.read(HANG)
                    note("silent DISPLAY: observer first line", "permission line" if first else "none",
                         time.monotonic() - start, yardstick)
                    status, _, _ = watcher.wait(HANG)
                    note("silent DISPLAY: observer ends", f"status {status}", time.monotonic() - start, yardstick)
            with open("/dev/zero", "rb") as zero:
                answer, took = run(None, stdin=zero)
                note("/dev/zero", answer, took, yardstick)
            with open("/dev/zero", "rb") as zero:
                answer, took = run(None, args=["--session"], stdin=zero)
                note("/dev/zero --session", answer, took, yardstick)

        for rows in (2500, 6000):
            with harness.start_app([harness.fixture("fixture_app"), "--rows", str(rows)], env=env):
                harness.wait_until(lambda: run(observe)[0].get("code") != "COMPUTER_UNAVAILABLE", timeout=30)
                answer, took = run(observe)
                note(f"{rows} children: observe", answer, took, yardstick)

        with harness.start_app([harness.fixture("fixture_app"), "--rows", "990"], env=env) as app:
            harness.wait_until(lambda: run(observe)[0].get("ok"), timeout=30)
            whole = statistics.median(run(observe)[1] for _ in range(3))
            note("990 rows: normal observe", {"ok": True, "data": {}}, whole, yardstick)
            # Stopped early, half way and late in the observe (whose last
            # part, capture and picture, no longer needs the application).
            for share in (0.1, 0.25, 0.5):
                start = time.monotonic()
                proc = subprocess.Popen([harness.COMPUTER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, env=harness.child_env(env))
                proc.stdin.write(json.dumps(observe).encode())
                proc.stdin.close()
                time.sleep(whole * share)
                with StoppedProcess(app.pid):
                    stopped = time.monotonic()
                    out = proc.stdout.read()
                    proc.wait(HANG)
                    answered = time.monotonic()
                answer = json.loads(out)
                note(f"990 rows, app stopped at {share:.0%} of an observe: from the stop", answer,
                     answered - stopped, yardstick)
                note(f"990 rows, app stopped at {share:.0%} of an observe: whole", answer, answered - start,
                     yardstick)
                # The next request (a new process) reads it again.
                harness.wait_until(lambda: run(observe)[0].get("ok"), timeout=30)

        # Last in the round: takes the accessibility bus down, then back up.
        with harness.start_app([harness.fixture("fixture_app"), "--title", "Fixture"], env=env):
            harness.wait_until(lambda: run(observe)[0].get("ok"), timeout=30)
            os.kill(accessibility_bus_daemon(), signal.SIGTERM)
            harness.wait_until(lambda: not marked_processes(lambda argv: b"at-spi-bus-launcher" in argv[0]),
                               what="the launcher to follow its bus")
            for name, request in (("killed a11y bus: status", {"operation": "status"}),
                                  ("killed a11y bus: observe", observe)):
                answer, took = run(request)
                note(name, answer, took, yardstick)
        harness.set_accessibility_enabled(True)  # starts the launcher again
        print(f"round {round_number + 1} of {rounds} done", file=sys.stderr, flush=True)

    print(f"{rounds} rounds, build {build}; ratio = time / normal observe of the fixture window "
          f"in the same round (process start included in both)")
    print("| scenario | answers | median s | max s | median ratio | max ratio | hangs |")
    print("|---|---|---|---|---|---|---|")
    for name, rows in results.items():
        answers = sorted(set(r[0] for r in rows))
        times = [r[1] for r in rows]
        ratios = [r[2] for r in rows]
        hangs = sum(1 for t in times if t >= HANG)
        print(f"| {name} | {'; '.join(answers)} | {statistics.median(times):.2f} | {max(times):.2f} | "
              f"{statistics.median(ratios):.1f} | {max(ratios):.1f} | {hangs} |")


if __name__ == "__main__":
    main()
