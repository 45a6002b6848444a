#!/usr/bin/env bash
# Observation: the inventory and picture of a real window.
. "$(dirname "$0")/lib.sh"
set -u

export XDG_DATA_DIRS="$LARKSPIRE_SOURCE/tests/e2e:/usr/local/share:/usr/share"
export PATH="$LARKSPIRE_FIXTURES:$PATH"
fixture_app --title "Demo window" >/dev/null 2>&1 &
app=$!
trap 'kill $app 2>/dev/null || true' EXIT
for _ in $(seq 100); do xdotool search --onlyvisible --pid "$app" >/dev/null 2>&1 && break; sleep 0.1; done
# Accessibility on, as "permissions" asks for it.
printf '{"operation":"permissions"}' | "$LARKSPIRE_COMPUTER" >/dev/null || true

section "Observing a real window (the GTK fixture app, pid $app)"
note "request: {\"operation\":\"observe\",\"appId\":\"org.example.Fixture\"}"
printf '{"operation":"observe","appId":"org.example.Fixture"}' | "$LARKSPIRE_COMPUTER" > "$LARKSPIRE_DEMO_OUTPUT/observe.json" || true
python3 - "$LARKSPIRE_DEMO_OUTPUT/observe.json" "$LARKSPIRE_DEMO_OUTPUT/observe.png" <<'PY'
import base64, json, sys
response = json.load(open(sys.argv[1]))
if not response.get("ok"):
    sys.exit("   observe failed: %s" % response)
data = response["data"]
with open(sys.argv[2], "wb") as f:
    f.write(base64.b64decode(data["image"]["data"]))
b, image = data["bounds"], data["image"]
print("   window %s at %.0f,%.0f size %.0fx%.0f; picture %dx%d saved as %s"
      % (data["windowId"], b["x"], b["y"], b["width"], b["height"], image["width"], image["height"], sys.argv[2]))
print("   windows: %s" % ", ".join("%s %r" % (w["windowId"], w["title"]) for w in data["windows"]))
print("   %d elements, the first 20:" % len(data["elements"]))
for e in data["elements"][:20]:
    flags = ",".join(e["actions"]) + (" editable" if e["editable"] else "")
    print("     %5s  %-14s %-44r %s" % (e["ref"], e["role"], e["name"][:40], flags))
PY
