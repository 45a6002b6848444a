"""larkspire-computer in one-shot mode, run outside any desktop: framing,
exit statuses, the request size bound, malformed input and the argument test.
"""

import json
import os
import subprocess
import threading
import time
import unittest

import harness
from harness import TestCase, child_env, run_computer

LIMIT = 10_485_760
INVALID = {"ok": False, "code": "COMPUTER_INVALID_REQUEST", "notExecuted": True}


def status_of_size(size):
    """A status request padded with spaces to exactly `size` bytes."""
    request = b'{"operation":"status"}'
    return request + b" " * (size - len(request))


class OneShotCase(TestCase):
    def answer(self, request, args=()):
        """Runs once outside any desktop and checks what every answer must be:
        nothing on stderr, exactly one line of compact JSON ending in one line
        feed, and a status that follows "ok"."""
        result = run_computer(request, args=args, desktop=False)
        self.assertEqual(result.stderr, b"")
        self.assertTrue(result.stdout.endswith(b"\n"), result)
        self.assertEqual(result.stdout.count(b"\n"), 1, result)
        text = result.stdout[:-1].decode("utf-8")
        response = json.loads(text)
        self.assertEqual(json.dumps(response, separators=(",", ":"), ensure_ascii=False), text)
        self.assertEqual(result.status, 0 if response.get("ok") is True else 1, result)
        return response


class Framing(OneShotCase):
    def test_status_outside_a_desktop_succeeds_with_both_permissions_false(self):
        self.assertEqual(self.answer({"operation": "status"}),
                         {"ok": True, "data": {"accessibility": False, "screenRecording": False}})

    def test_permissions_outside_a_desktop_also_succeeds(self):
        self.assertEqual(self.answer({"operation": "permissions"}),
                         {"ok": True, "data": {"accessibility": False, "screenRecording": False}})

    def test_extra_keys_are_ignored(self):
        response = self.answer({"operation": "status", "appId": 5, "nativeSessionVersion": 2,
                                "nested": {"a": [1, 2, {"b": None}]}})
        self.assertTrue(response["ok"])

    def test_the_line_is_the_response_and_nothing_else(self):
        response = self.answer({"operation": "status"})
        self.assertEqual(set(response), {"ok", "data"})
        response = self.answer({"operation": "nope"})
        self.assertEqual(set(response), {"ok", "code", "notExecuted"})

    def test_apps_with_a_non_string_query_lists_as_without_one(self):
        self.assertEqual(self.answer({"operation": "apps", "query": 7}), self.answer({"operation": "apps"}))

    def test_launch_without_an_identifier_finds_no_app(self):
        self.assertEqual(self.answer({"operation": "launch"}),
                         {"ok": False, "code": "COMPUTER_APP_NOT_FOUND", "notExecuted": True})


class Refusals(OneShotCase):
    def test_unreadable_requests(self):
        cases = {
            "empty": b"",
            "white space": b"  \n",
            "array": b'[{"operation":"status"}]',
            "bare string": b'"status"',
            "bare number": b"5",
            "null": b"null",
            "two objects": b'{"operation":"status"}{"operation":"status"}',
            "trailing comma": b'{"operation":"status",}',
            "invalid UTF-8": b'{"operation":"status","x":"\xff\xfe"}',
            "encoded surrogate": b'{"operation":"status","x":"\xed\xa0\x80"}',
            "NUL after the object": b'{"operation":"status"}\x00',
        }
        for name, request in cases.items():
            with self.subTest(name):
                self.assertEqual(self.answer(request), INVALID)

    def test_missing_or_unknown_operations(self):
        for request in ({}, {"operation": 5}, {"operation": None}, {"operation": "Status"},
                        {"operation": "STATUS"}, {"operation": " status"}, {"Operation": "status"}):
            with self.subTest(request):
                self.assertEqual(self.answer(request), INVALID)

    def test_act_is_refused_outside_a_session(self):
        for request in ({"operation": "act"},
                        {"operation": "act", "snapshotId": "s", "action": {"type": "click", "ref": "e1"}}):
            with self.subTest(request):
                self.assertEqual(self.answer(request),
                                 {"ok": False, "code": "COMPUTER_TARGET_CHANGED", "notExecuted": True})

    def test_deep_nesting_is_refused_without_a_crash(self):
        self.assertEqual(self.answer(b"[" * 1_000_000), INVALID)
        self.assertEqual(self.answer(b'{"operation":"status","x":' + b"[" * 100_000 + b"]" * 100_000 + b"}"),
                         INVALID)


class SizeBound(OneShotCase):
    def test_a_request_of_exactly_the_limit_is_served(self):
        self.assertTrue(self.answer(status_of_size(LIMIT))["ok"])

    def test_one_byte_over_the_limit_is_refused(self):
        self.assertEqual(self.answer(status_of_size(LIMIT + 1)), INVALID)

    def feed(self, size):
        """Writes `size` bytes of spaces into a one-shot run; returns whether
        the writer got them all in, and the peak memory of the program."""
        proc = subprocess.Popen([harness.COMPUTER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=child_env(desktop=False))
        chunk = b" " * (1 << 20)
        fed = []

        def feed():
            try:
                for _ in range(size // len(chunk)):
                    proc.stdin.write(chunk)
                proc.stdin.close()
                fed.append(True)
            except BrokenPipeError:
                pass

        writer = threading.Thread(target=feed)
        writer.start()
        out = proc.stdout.read()
        err = proc.stderr.read()
        proc.stdout.close()
        proc.stderr.close()
        _, wait_status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(wait_status)
        writer.join()
        try:
            proc.stdin.close()
        except BrokenPipeError:
            pass
        self.assertEqual(json.loads(out), INVALID)
        self.assertEqual(out.count(b"\n"), 1)
        self.assertEqual(err, b"")
        self.assertEqual(proc.returncode, 1)
        return fed == [True], usage.ru_maxrss * 1024

    def test_an_enormous_input_is_drained_not_kept(self):
        # Within the drain every byte is read: the writer is never cut off.
        fed, _ = self.feed(LIMIT + 8 * 1024 * 1024)
        self.assertTrue(fed)
        # Far past it, reading stops, and the peak memory stays far below
        # the input's size all along.
        size = 200 * 1024 * 1024
        fed, peak = self.feed(size)
        self.assertFalse(fed)
        self.assertLess(peak, size // 2)

    def test_endless_input_is_answered(self):
        for args in ([], ["--session"]):
            with self.subTest(args=args), open("/dev/zero", "rb") as zero:
                start = time.monotonic()
                proc = subprocess.run([harness.COMPUTER, *args], stdin=zero, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, env=child_env(desktop=False), timeout=60)
                # Within the drain's second, a generous bound for a loaded machine.
                self.assertLess(time.monotonic() - start, 10)
                self.assertEqual(proc.stderr, b"")
                if args:
                    # An unusable first line is never answered in a session.
                    self.assertEqual((proc.returncode, proc.stdout), (1, b""))
                else:
                    self.assertEqual((proc.returncode, json.loads(proc.stdout)), (1, INVALID))


class SessionArgument(OneShotCase):
    def test_only_the_exact_word_selects_session_mode(self):
        for args in (["--Session"], ["--session=1"], ["-session"], ["--session "], ["session"], ["--SESSION"]):
            with self.subTest(args):
                self.assertEqual(self.answer({"operation": "status"}, args=args)["ok"], True)

    def test_the_word_anywhere_selects_session_mode(self):
        for args in (["--session"], ["x", "--session"], ["--session", "--verbose"]):
            with self.subTest(args):
                # A one-shot request is no session request: nothing is answered.
                result = run_computer({"operation": "status"}, args=args, desktop=False)
                self.assertEqual((result.status, result.stdout, result.stderr), (1, b"", b""))


if __name__ == "__main__":
    unittest.main()
