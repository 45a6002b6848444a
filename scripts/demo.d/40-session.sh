#!/usr/bin/env bash
# A session: observe, then act on what was observed; a second observation
# shows the effect.
. "$(dirname "$0")/lib.sh"
set -u

export XDG_DATA_DIRS="$LARKSPIRE_SOURCE/tests/e2e:/usr/local/share:/usr/share"
export PATH="$LARKSPIRE_FIXTURES:$PATH"
state="$(mktemp)"
fixture_app --title "Demo window" --state-file "$state" >/dev/null 2>&1 &
app=$!
trap 'kill $app 2>/dev/null || true; rm -f "$state" "$state.tmp"' EXIT
for _ in $(seq 100); do xdotool search --onlyvisible --pid "$app" >/dev/null 2>&1 && break; sleep 0.1; done
printf '{"operation":"permissions"}' | "$LARKSPIRE_COMPUTER" >/dev/null || true

section "Acting in a session (observe, then one act)"
python3 - "$LARKSPIRE_COMPUTER" <<'PY'
import json, subprocess, sys, time
tool = sys.argv[1]

def session(choose):
    p = subprocess.Popen([tool, "--session"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    p.stdin.write(json.dumps({"nativeSessionVersion": 2, "operation": "observe", "appId": "org.example.Fixture"}) + "\n")
    p.stdin.flush()
    observation = json.loads(p.stdout.readline())
    data = observation["data"]
    action = choose(data)
    print(f"   observe -> {len(data['elements'])} elements; act {json.dumps(action, ensure_ascii=False)}")
    p.stdin.write(json.dumps({"nativeSessionVersion": 2, "operation": "act", "snapshotId": data["snapshotId"],
                              "action": action}) + "\n")
    p.stdin.close()
    print("   <-", p.stdout.readline().strip())
    p.wait()
    return data

def ref(data, name):
    return next(e["ref"] for e in data["elements"] if e["name"] == name)

session(lambda d: {"type": "click", "ref": ref(d, "Press me")})
session(lambda d: {"type": "click", "ref": ref(d, "Name")})
session(lambda d: {"type": "type", "text": "Grüße, 世界 🌍"})
time.sleep(0.5)
after = session(lambda d: {"type": "press", "key": "End"})
names = [e["name"] for e in after["elements"]]
print("   second look: " + ", ".join(n for n in names if n.startswith("Pressed")))
PY
note "what the application itself says (its state file):"
python3 -c 'import json, sys; s = json.load(open(sys.argv[1])); print("   Name = %r, pressed %d time(s)" % (s["name"], s["pressed"]))' "$state"
