#!/usr/bin/env bash
# The status page in a real browser, behind `make test-browser`: the built server runs in a
# scratch directory on free loopback ports with its status endpoint on, quorvane-cli clients log
# in and join two channels (one of them with a nick made of markup), and headless Chromium loads
# the page. Checks that the rendered document shows every channel and nick, the markup nick as
# text only, and writes a phone-sized screenshot into the build tree.
#
# usage: scripts/test-browser.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=$(realpath "${1:?build directory}")
cli_program="$build_dir/tools/quorvane-cli"
browser=$(command -v chromium) || { echo "test-browser: chromium is not installed" >&2; exit 1; }

out_dir="$build_dir/test-browser"
mkdir -p "$out_dir"
work=$(mktemp -d /tmp/quorvane-browser.XXXXXX)
pids=()
feeds=()
cleanup() {
  for fd in "${feeds[@]:-}"; do [ -n "$fd" ] && exec {fd}>&- 2>/dev/null || true; done
  for pid in "${pids[@]:-}"; do [ -n "$pid" ] && kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
checks=0
fail() {
  echo "test-browser: FAILED: $*" >&2
  for log in "$work"/*.out; do echo "--- $log" >&2; tail -5 "$log" >&2; done
  exit 1
}
pass() { checks=$((checks + 1)); echo "ok $checks - $*"; }

read -r host_port sound_port status_port < <(python3 tests/wine/client.py free-ports 3)
cp "$build_dir/src/QuorvaneService" "$work/"
cat > "$work/QuorvaneService.xml" <<XML
<?xml version="1.0"?>
<quorvane><hosting>
  <server-name>Browser test</server-name>
  <hostport>$host_port</hostport><soundport>$sound_port</soundport>
  <status-port>$status_port</status-port>
  <static-channels><channel><name>lobby</name><topic>Say hello</topic></channel></static-channels>
</hosting></quorvane>
XML
(cd "$work" && exec ./QuorvaneService -d > server.out 2>&1) &
pids+=($!)
url="http://127.0.0.1:$status_port/"
python3 tests/wine/client.py wait-listening "$host_port" || fail "the server does not listen"

# Each client reads its commands from a FIFO that stays open until the end, so it stays logged in.
start_client() {
  local fifo="$work/feed.${#feeds[@]}" fd
  mkfifo "$fifo"
  "$cli_program" --port "$host_port" --sound-port "$sound_port" --nick "$1" \
    < "$fifo" > "$work/client.${#feeds[@]}.out" 2>&1 &
  pids+=($!)
  exec {fd}> "$fifo"
  feeds+=("$fd")
  echo "/join $2" >&"$fd"
}
script_nick='<script>document.title="injected"</script>'
declare -A channel_of=([alice]=/lobby/ [bob]=/lobby/ [carol]=/games/ ["$script_nick"]=/games/)
for nick in alice bob carol "$script_nick"; do start_client "$nick" "${channel_of[$nick]}"; done

# Wait until the status document shows everyone in place (at most 20 s).
in_place() {
  status=$(curl -s --max-time 2 "${url}status.json") &&
    [ "$(grep -o '"nick"' <<<"$status" | wc -l)" -eq 4 ] &&
    grep -q '"path":"/lobby/"[^}]*"memberCount":2' <<<"$status" &&
    grep -q '"path":"/games/"[^}]*"memberCount":2' <<<"$status"
}
for _ in $(seq 1 100); do in_place && break || sleep 0.2; done
in_place || fail "the clients did not all log in and join: $status"
pass "status.json shows four logged-in clients in /lobby/ and /games/"

render() {
  "$browser" --headless --no-sandbox --disable-gpu --no-first-run --user-data-dir="$work/profile" \
    --virtual-time-budget=8000 "$@" "$url" 2> "$work/browser.err"
}
dom=$(render --dump-dom) || fail "chromium could not load $url: $(tail -3 "$work/browser.err")"
printf '%s\n' "$dom" > "$out_dir/status.html"
for shown in '<h1 id="name">Browser test</h1>' '<span class="path">/</span>' \
    '<span class="path">/lobby/</span>' '<span class="path">/games/</span>' '>alice</span>' \
    '>bob</span>' '>carol</span>' '&lt;script&gt;document.title="injected"&lt;/script&gt;'; do
  grep -qF "$shown" <<<"$dom" || fail "the page does not show $shown"
done
if grep -qF "$script_nick" <<<"$dom" || grep -q '<title>injected' <<<"$dom"; then
  fail "the markup nick became markup"
fi
pass "the page shows the server's name, every channel and every nick, the markup one as text"

render --screenshot="$out_dir/status.png" --window-size=412,915 > /dev/null ||
  fail "chromium could not take a screenshot"
[ -s "$out_dir/status.png" ] || fail "no screenshot"
pass "screenshot in $out_dir/status.png"
echo "test-browser: all $checks checks passed"
