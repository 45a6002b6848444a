"""larkspire-computer --session as a parent drives it: framing, the version
key, the exit statuses of every outcome and the 100-second lifetime.

Sessions whose observation must succeed run larkspire-computer-simulated, the
same entry and operations on a fixed simulated desktop (one regular app,
"com.example.Notes", with a window holding a "Save" button); the rest run the
real program outside any desktop.
"""

import json
import os
import subprocess
import time
import unittest

import harness
from harness import LineProcess, TestCase, child_env

SIMULATED = os.environ.get("LARKSPIRE_COMPUTER_SIMULATED") or os.path.join(
    harness.BUILD, "tests", "e2e", "larkspire-computer-simulated")
LIMIT = 65_536
OBSERVE = {"nativeSessionVersion": 2, "operation": "observe", "appId": "com.example.Notes"}


def line(request):
    return json.dumps(request, separators=(",", ":")).encode()


def observe_of_size(size):
    """An observe request for the simulated app padded to exactly `size` bytes."""
    head = b'{"nativeSessionVersion":2,"operation":"observe","appId":"com.example.Notes","pad":"'
    return head + b" " * (size - len(head) - 2) + b'"}'


def run_session(stdin, program=None, desktop=False):
    proc = subprocess.run([program or harness.COMPUTER, "--session"], input=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=120, env=child_env(desktop=desktop))
    return proc.returncode, proc.stdout, proc.stderr


class SessionCase(TestCase):
    def responses(self, stdout):
        """The response lines: compact JSON, one line feed each, version 2."""
        self.assertTrue(stdout == b"" or stdout.endswith(b"\n"), stdout)
        lines = stdout.split(b"\n")[:-1]
        parsed = []
        for text in lines:
            response = json.loads(text)
            self.assertEqual(json.dumps(response, separators=(",", ":"), ensure_ascii=False).encode(), text)
            self.assertEqual(response.get("nativeSessionVersion"), 2, text)
            parsed.append(response)
        return parsed

    def session(self, stdin, simulated=True):
        status, stdout, stderr = run_session(stdin, SIMULATED if simulated else None)
        self.assertEqual(stderr, b"")
        return status, self.responses(stdout)


class FirstRequest(SessionCase):
    def test_unusable_first_requests_end_with_status_one_and_no_output(self):
        cases = {
            "empty input": b"",
            "empty line": b"\n",
            "not JSON": b"observe\n",
            "array": b"[1]\n",
            "no version": line({"operation": "observe", "appId": "com.example.Notes"}) + b"\n",
            "version as text": line({**OBSERVE, "nativeSessionVersion": "2"}) + b"\n",
            "version 3": line({**OBSERVE, "nativeSessionVersion": 3}) + b"\n",
            "status": line({"nativeSessionVersion": 2, "operation": "status"}) + b"\n",
            "act first": line({"nativeSessionVersion": 2, "operation": "act", "snapshotId": "s"}) + b"\n",
            "one byte over the limit": observe_of_size(LIMIT + 1) + b"\n",
            "far over the limit": observe_of_size(LIMIT * 40) + b"\n",
        }
        for name, stdin in cases.items():
            with self.subTest(name):
                self.assertEqual(self.session(stdin), (1, []))

    def test_first_request_framings_that_are_answered(self):
        cases = {
            "line feed": line(OBSERVE) + b"\n",
            "carriage return and line feed": line(OBSERVE) + b"\r\n",
            "no line ending at all": line(OBSERVE),
            "exactly the limit": observe_of_size(LIMIT) + b"\n",
        }
        for name, stdin in cases.items():
            with self.subTest(name):
                status, responses = self.session(stdin)
                self.assertEqual(status, 0)
                self.assertEqual(len(responses), 1)
                self.assertTrue(responses[0]["ok"], responses[0])
                self.assertEqual(set(responses[0]), {"nativeSessionVersion", "ok", "data"})

    def test_a_failed_observation_is_the_only_line(self):
        # Outside any desktop the real observation cannot succeed.
        status, responses = self.session(line(OBSERVE) + b"\n" + line({"nativeSessionVersion": 2,
                                                                         "operation": "act"}) + b"\n",
                                         simulated=False)
        self.assertEqual(status, 1)
        self.assertEqual(len(responses), 1)
        self.assertIs(responses[0]["ok"], False)
        self.assertEqual(set(responses[0]), {"nativeSessionVersion", "ok", "code", "notExecuted"})

    def test_an_observation_of_an_unknown_app_fails_with_the_version(self):
        status, responses = self.session(line({**OBSERVE, "appId": "com.example.Missing"}) + b"\n")
        self.assertEqual(status, 1)
        self.assertEqual(responses, [{"nativeSessionVersion": 2, "ok": False,
                                      "code": "COMPUTER_TARGET_CHANGED", "notExecuted": True}])


class SecondRequest(SessionCase):
    def test_unusable_second_requests_end_with_status_zero_after_the_observation(self):
        cases = {
            "end of input": b"",
            "a second observe": line(OBSERVE) + b"\n",
            "no version": line({"operation": "act", "snapshotId": "s"}) + b"\n",
            "not JSON": b"\xff\xfe\n",
            "over the limit": b"{" + b" " * LIMIT + b"}\n",
        }
        for name, second in cases.items():
            with self.subTest(name):
                status, responses = self.session(line(OBSERVE) + b"\n" + second)
                self.assertEqual(status, 0)
                self.assertEqual(len(responses), 1)
                self.assertTrue(responses[0]["ok"])

    def test_an_act_on_another_snapshot_is_invalid(self):
        act = {"nativeSessionVersion": 2, "operation": "act", "snapshotId": "not-this-one",
               "action": {"type": "click", "ref": "e1"}}
        status, responses = self.session(line(OBSERVE) + b"\n" + line(act) + b"\r\n")
        self.assertEqual(status, 1)
        self.assertEqual(len(responses), 2)
        self.assertEqual(responses[1], {"nativeSessionVersion": 2, "ok": False,
                                        "code": "COMPUTER_INVALID_REQUEST", "notExecuted": True})

    def test_a_click_on_the_observed_button_completes(self):
        with LineProcess([SIMULATED, "--session"], desktop=False) as session:
            # The second line may be sent before the observation arrives.
            session.send(line(OBSERVE))
            observation = session.read(timeout=60)
            self.assertTrue(observation["ok"], observation)
            data = observation["data"]
            button = next(e for e in data["elements"] if e["role"] == "AXButton")
            session.send(line({"nativeSessionVersion": 2, "operation": "act", "snapshotId": data["snapshotId"],
                               "action": {"type": "click", "ref": button["ref"]}}))
            status, rest, stderr = session.wait(timeout=60)
        self.assertEqual(stderr, b"")
        self.assertEqual(self.responses(rest), [{"nativeSessionVersion": 2, "ok": True,
                                                 "data": {"completed": True}}])
        self.assertEqual(status, 0)


class Lifetime(SessionCase):
    def test_the_session_ends_with_status_zero_100_seconds_after_the_observation(self):
        with LineProcess([SIMULATED, "--session"], desktop=False) as session:
            session.send(line(OBSERVE))
            self.assertTrue(session.read(timeout=60)["ok"])
            delivered = time.monotonic()
            # The parent keeps its end open and never sends the action.
            status = session.proc.wait(timeout=160)
            lived = time.monotonic() - delivered
            rest = session.proc.stdout.read()
            stderr = session.proc.stderr.read()
        self.assertEqual((status, rest, stderr), (0, b"", b""))
        # Neither cut short nor left running: the lifetime is 100 s.
        self.assertGreaterEqual(lived, 99.0)
        self.assertLess(lived, 130.0)


if __name__ == "__main__":
    unittest.main()
