#!/usr/bin/env python3
"""Typing speed on the headless desktop, next to xdotool's on the same GTK
entry in the same run: characters per second for ASCII text and for text
whose characters the keyboard map lacks (bound to spare keycodes while they
are typed), rounds interleaved. Measures, never asserts.

    scripts/build --release
    scripts/desktop /usr/bin/python3 benchmarks/typing_desktop.py [BUILD] [ROUNDS] [LENGTH]

BUILD defaults to $LARKSPIRE_BUILD or build-release/; ROUNDS to 5; LENGTH
(characters per text) to 1000.

Each measurement starts with an empty entry and ends when the entry holds
the whole text (polled every 10 ms), or after 60 s: "arrived" is the share
of the text the entry then holds, in order. For larkspire-computer the time
is from the act request to that point (the session's observe comes before
and is not counted); for xdotool, from its start (`xdotool type --delay 0`,
its fastest setting, which on a desktop this busy is not always exact).
"""

import difflib
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))

APP_ID = "org.example.Fixture"


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("LARKSPIRE_BUILD",
                                                                 os.path.join(SOURCE, "build-release"))
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    length = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    os.environ["LARKSPIRE_BUILD"] = build
    import harness

    harness.set_accessibility_enabled(True)
    env = harness.fixture_entry_env()
    tmp = tempfile.TemporaryDirectory(prefix="larkspire-typing-bench-")
    state_path = os.path.join(tmp.name, "state.json")
    app = harness.start_app([harness.fixture("fixture_app"), "--state-file", state_path], env=env)

    def notes():
        try:
            with open(state_path) as f:
                return json.load(f)["notes"]
        except (OSError, ValueError):
            return None

    def act(action, timeout=120):
        with harness.Session(env=env) as session:
            session.send({"nativeSessionVersion": 2, "operation": "observe", "appId": APP_ID})
            observation = session.read(timeout=60)
            if not observation.get("ok"):
                sys.exit(f"observe failed: {observation}")
            if callable(action):
                action = action(observation["data"])
            start = time.monotonic()
            session.send({"nativeSessionVersion": 2, "operation": "act",
                          "snapshotId": observation["data"]["snapshotId"], "action": action})
            response = session.read(timeout=timeout)
            session.wait(timeout=30)
        return start, response

    def clear():
        for key in ("Mod+a", "Backspace"):
            act({"type": "press", "key": key})
        harness.wait_until(lambda: notes() == "", what="an empty entry")

    def until_arrived(text, start):
        deadline = start + 60
        while time.monotonic() < deadline:
            if notes() == text:
                return time.monotonic() - start, 1.0
            time.sleep(0.01)
        got = notes() or ""
        matched = sum(block.size for block in difflib.SequenceMatcher(None, text, got).get_matching_blocks())
        return time.monotonic() - start, matched / len(text)

    rng = random.Random(7)
    ascii_text = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz ABCDEFGHIJ0123456789.,;") for _ in range(length))
    # Twelve characters the map lacks, each bound once and kept.
    missing = "àéîõüçñßøåæ€"
    other_text = "".join(rng.choice(missing) for _ in range(length))

    results = {}
    try:
        harness.wait_until(lambda: notes() is not None, what="the fixture")
        time.sleep(1.0)
        act(lambda d: {"type": "click", "ref": next(e["ref"] for e in d["elements"] if e["name"] == "Notes")})
        for round_ in range(rounds):
            for label, text in (("ASCII", ascii_text), ("not in the keymap", other_text)):
                clear()
                start, response = act({"type": "type", "text": text})
                if not response.get("ok"):
                    print(f"round {round_}: larkspire-computer {label}: {response}", flush=True)
                seconds, share = until_arrived(text, start)
                results.setdefault(("larkspire-computer", label), []).append((seconds, share))

                clear()
                start = time.monotonic()
                subprocess.run(["xdotool", "type", "--delay", "0", text], env=harness.child_env(env),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
                seconds, share = until_arrived(text, start)
                results.setdefault(("xdotool type --delay 0", label), []).append((seconds, share))
            print(f"round {round_ + 1} of {rounds} done", flush=True)
    finally:
        app.stop()
        tmp.cleanup()

    print(f"\n{length} characters per text, {rounds} rounds, median (and worst) of each:")
    print(f"{'typist':26} {'text':18} {'chars/s':>9} {'worst':>9} {'arrived':>8} {'worst':>8}")
    for (typist, label), values in sorted(results.items(), key=lambda item: (item[0][1], item[0][0])):
        rates = [length / seconds for seconds, _ in values]
        shares = [share for _, share in values]
        print(f"{typist:26} {label:18} {statistics.median(rates):9.0f} {min(rates):9.0f} "
              f"{statistics.median(shares):8.1%} {min(shares):8.1%}")


if __name__ == "__main__":
    main()
