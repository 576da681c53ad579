#!/usr/bin/env bash
# Browser check of the HTTP front end: headless Chromium loads the index page
# from a running vorel-server and the rendered DOM must hold the title, the
# heading and the three links; /stats and /keys must render as JSON text.
set -u
server=$1
browser=$(command -v chromium || command -v chromium-browser || true)
[ -n "$browser" ] || { echo "chromium is not installed"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"; [ -n "${pid:-}" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null' EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()')
"$server" --port "$port" >"$work/server.log" 2>&1 &
pid=$!
for _ in $(seq 1 100); do grep -q listening "$work/server.log" && break; sleep 0.05; done

dump() {
  timeout 60 "$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$work/profile" --dump-dom "http://127.0.0.1:$port$1" 2>/dev/null
}

fail=0
check() {  # check <what> <text> <needle>
  if ! grep -qF -- "$3" <<<"$2"; then echo "missing in $1: $3"; fail=1; fi
}

page=$(dump /)
check "/" "$page" "<title>tavrinex-vorel</title>"
check "/" "$page" "<h1>tavrinex-vorel 1.3.2</h1>"
for link in health stats keys; do check "/" "$page" "<a href=\"/$link\" style=\"color:#0ff\">/$link</a>"; done

exec 3<>"/dev/tcp/127.0.0.1/$port"
printf '*3\r\n$3\r\nSET\r\n$6\r\nuser:1\r\n$1\r\nx\r\n' >&3
read -r -t 5 reply <&3
exec 3<&-

stats=$(dump /stats)
check "/stats" "$stats" '"status":"running"'
check "/stats" "$stats" '"total_keys":1'
keys=$(dump /keys)
check "/keys" "$keys" '["user:1"]'

[ $fail -eq 0 ] || { echo "page: $page"; exit 1; }
echo "browser smoke: 1 passed, 0 failed"
