#!/usr/bin/env bash
# The selection observer while a scripted user selects text.
. "$(dirname "$0")/lib.sh"
set -u

export PATH="$LARKSPIRE_FIXTURES:$PATH"
fixture_app --title "Selection demo" >/dev/null 2>&1 &
app=$!
lines="$(mktemp)"
diagnostics="$(mktemp)"
"$LARKSPIRE_OBSERVER" >"$lines" 2>"$diagnostics" &
observer=$!
trap 'kill $app $observer 2>/dev/null || true; rm -f "$lines" "$diagnostics"' EXIT
for _ in $(seq 100); do xdotool search --onlyvisible --pid "$app" >/dev/null 2>&1 && break; sleep 0.1; done
window="$(xdotool search --onlyvisible --pid "$app" | head -1)"

# text_point OFFSET: the screen point "X Y" a quarter into that character of
# the fixture's text view, from the accessibility bus.
text_point() {
  /usr/bin/python3 - "$app" "$1" <<'PY' 2>/dev/null
import sys, time
import pyatspi
pid, offset = int(sys.argv[1]), int(sys.argv[2])
def find(node):
    if node.getRoleName() == "text" and node.name == "Text":
        return node
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        found = find(child) if child is not None else None
        if found is not None:
            return found
for _ in range(100):
    desktop = pyatspi.Registry.getDesktop(0)
    apps = [desktop.getChildAtIndex(i) for i in range(desktop.childCount)]
    view = next((find(a) for a in apps if a is not None and a.get_process_id() == pid), None)
    if view is not None:
        break
    time.sleep(0.1)
x, y, w, h = view.queryText().getCharacterExtents(offset, pyatspi.DESKTOP_COORDS)
print(x + max(1, w // 4), y + h // 2)
PY
}

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
xdotool key shift+Left
sleep 0.5
xdotool key shift+Left
sleep 1

# "The quick brown fox jumps over the lazy dog." is the first line of the text view.
if read -r qx qy < <(text_point 4) && read -r bx by < <(text_point 15) && read -r fx fy < <(text_point 17) &&
   read -r lx ly < <(text_point 50); then
  note "then clicks into the text view, drags over \"quick brown\" and double-clicks \"fox\""
  xdotool mousemove "$lx" "$ly" click 1
  sleep 1
  xdotool mousemove "$qx" "$qy" mousedown 1
  for step in 1 2 3 4 5 6 7 8; do
    xdotool mousemove $((qx + (bx - qx) * step / 8)) "$qy"
    sleep 0.02
  done
  xdotool mouseup 1
  sleep 1
  xdotool mousemove "$fx" "$fy" click --repeat 2 --delay 80 1
  sleep 1
else
  note "(the text view was not found on the accessibility bus; no mouse selection shown)"
fi
kill "$observer" 2>/dev/null || true
wait "$observer" 2>/dev/null || true
note "what the observer wrote:"
sed 's/^/   /' "$lines"
note "(the first click of the double click removes \"quick brown\": hence the clear before \"fox\"; a"
note " double click is a selection gesture, which reports the selection even unchanged, so \"fox\""
note " shows twice when a poll read it before the second release reached the observer)"
note "and, for people, on standard error (its reports and the verdicts on mouse releases):"
grep -v '^skip: ' "$diagnostics" | sed 's/^/   /'
