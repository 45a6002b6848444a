#!/usr/bin/env bash
# larkspire-mcp driven by the official MCP SDK client: the same fixture
# application observed and operated through MCP tools, and the selection
# resource subscribed to.
. "$(dirname "$0")/lib.sh"
set -u

export XDG_DATA_DIRS="$LARKSPIRE_SOURCE/tests/e2e:/usr/local/share:/usr/share"
export PATH="$LARKSPIRE_FIXTURES:$PATH"
state="$(mktemp)"
fixture_app --title "MCP demo window" --state-file "$state" >/dev/null 2>&1 &
app=$!
trap 'kill $app 2>/dev/null || true; rm -f "$state" "$state.tmp"' EXIT
for _ in $(seq 100); do xdotool search --onlyvisible --pid "$app" >/dev/null 2>&1 && break; sleep 0.1; done

section "The MCP server (larkspire-mcp) with the official SDK client"
node "$LARKSPIRE_SOURCE/tests/mcp/demo_client.mjs" "$LARKSPIRE_MCP" "$LARKSPIRE_DEMO_OUTPUT"
note "what the application itself says (its state file):"
python3 -c 'import json, sys; s = json.load(open(sys.argv[1])); print("   Name = %r, pressed %d time(s)" % (s["name"], s["pressed"]))' "$state"
