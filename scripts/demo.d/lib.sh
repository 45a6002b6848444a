# Helpers for the demo sections (scripts/demo.d/NN-*.sh source this file).
# Available in every section: LARKSPIRE_COMPUTER, LARKSPIRE_OBSERVER,
# LARKSPIRE_FIXTURES, LARKSPIRE_SOURCE, LARKSPIRE_BUILD, and
# LARKSPIRE_DEMO_OUTPUT (a folder for pictures and other results).

section() {
  printf '\n\033[1m== %s\033[0m\n' "$*"
}

note() {
  printf '   %s\n' "$*"
}

# ask JSON [ARGS...]: sends one request to the computer tool and prints the
# request, the response (long strings such as pictures shortened) and the
# exit status. The response line is kept in $LAST_RESPONSE.
ask() {
  local request="$1"
  shift
  printf '\n-> %s\n' "$request"
  # Written so that a failure response does not end a caller using set -e.
  LAST_STATUS=0
  LAST_RESPONSE="$(printf '%s' "$request" | "$LARKSPIRE_COMPUTER" "$@")" || LAST_STATUS=$?
  printf '%s\n' "$LAST_RESPONSE" | show_json
  printf '   (exit status %s)\n' "$LAST_STATUS"
  return 0
}

# show_json: pretty-prints JSON lines from stdin, shortening long strings.
show_json() {
  python3 -c '
import json, sys
def shorten(v):
    if isinstance(v, str) and len(v) > 100:
        return v[:60] + f"... ({len(v)} characters)"
    if isinstance(v, list):
        return [shorten(x) for x in v]
    if isinstance(v, dict):
        return {k: shorten(x) for k, x in v.items()}
    return v
for line in sys.stdin:
    line = line.strip()
    if not line:
        continue
    try:
        text = json.dumps(shorten(json.loads(line)), indent=2, ensure_ascii=False)
    except ValueError:
        text = "(not JSON) " + line
    print("\n".join("<- " + l if i == 0 else "   " + l for i, l in enumerate(text.splitlines())))
'
}
