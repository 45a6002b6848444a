#!/usr/bin/env bash
# Applications: what is running, what is installed, and launching one. The
# test desktop entries (tests/e2e/applications) name the GTK fixture app,
# so the same program shows up under several identifiers.
. "$(dirname "$0")/lib.sh"
set -u

export XDG_DATA_DIRS="$LARKSPIRE_SOURCE/tests/e2e:/usr/local/share:/usr/share"
export XDG_DATA_HOME="$(mktemp -d)"
export PATH="$LARKSPIRE_FIXTURES:$PATH"
started=()
cleanup() {
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$XDG_DATA_HOME"
}
trap cleanup EXIT

# Waits until a process shows a window the window manager manages.
wait_window() {
  for _ in $(seq 100); do
    xdotool search --onlyvisible --pid "$1" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

section "Applications on the headless desktop"
note "two copies of the fixture app with the same name, different desktop entries"
fixture_app >/dev/null 2>&1 &
started+=($!)
wait_window "$!"
note "  org.example.Fixture     pid $!"
fixture_app --app-id org.example.FixtureBeta --title "Fixture Beta" >/dev/null 2>&1 &
started+=($!)
wait_window "$!"
note "  org.example.FixtureBeta pid $!"

note "apps: running regular applications only; the second Fixture is told apart"
ask '{"operation":"apps"}'
note "apps with a query: installed entries that are not running follow"
note "(Hidden, NoDisplay, Link and larkspire entries are never offered)"
ask '{"operation":"apps","query":"  QUILL\n"}'
note "the same query in French: names come from the entry's Name[fr]"
LANG=fr_FR.UTF-8 ask '{"operation":"apps","query":"bloc"}'

note "launch: runs the entry's Exec, waits for its window and brings it to the front"
ask '{"operation":"launch","appId":"org.example.Notepad"}'
pid="$(printf '%s' "$LAST_RESPONSE" | python3 -c 'import json,sys; print(json.load(sys.stdin)["data"]["pid"])' 2>/dev/null || true)"
if [ -n "$pid" ]; then
  started+=("$pid")
  active="$(xprop -root _NET_ACTIVE_WINDOW | awk '{print $NF}')"
  owner="$(xprop -id "$active" _NET_WM_PID | awk '{print $NF}')"
  note "frontmost window $active belongs to pid $owner (launched pid $pid)"
fi
note "launch again: already running, so it answers at once with the same pid"
ask '{"operation":"launch","appId":"org.example.Notepad"}'

note "identifiers that cannot be launched: unknown, excluded, hidden"
ask '{"operation":"launch","appId":"org.example.Nothing"}'
ask '{"operation":"launch","appId":"org.larkspire.Helper"}'
ask '{"operation":"launch","appId":"org.example.Hidden"}'
