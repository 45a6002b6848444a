#!/usr/bin/env bash
# The selection observer while a scripted user selects text.
. "$(dirname "$0")/lib.sh"
set -u

export PATH="$LARKSPIRE_FIXTURES:$PATH"
fixture_app --title "Selection demo" >/dev/null 2>&1 &
app=$!
lines="$(mktemp)"
"$LARKSPIRE_OBSERVER" >"$lines" 2>/dev/null &
observer=$!
trap 'kill $app $observer 2>/dev/null || true; rm -f "$lines"' EXIT
for _ in $(seq 100); do xdotool search --onlyvisible --pid "$app" >/dev/null 2>&1 && break; sleep 0.1; done
window="$(xdotool search --onlyvisible --pid "$app" | head -1)"

section "The selection observer (pid $observer) while a user selects text"
note "the user types into an entry, selects all, moves the caret, then selects two characters"
xdotool windowactivate --sync "$window"
sleep 0.3
xdotool key Tab
xdotool type --delay 20 "hello world"
sleep 0.5
xdotool key ctrl+a
sleep 1
xdotool key End
sleep 1
xdotool key shift+Left shift+Left
sleep 1
kill "$observer" 2>/dev/null || true
wait "$observer" 2>/dev/null || true
note "what the observer wrote:"
sed 's/^/   /' "$lines"
