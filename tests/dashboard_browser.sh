#!/usr/bin/env bash
# Browser check of the live dashboard: headless Chromium loads /dashboard from a
# running vorel-server under light load, after a command made slow on purpose;
# the rendered DOM must show data points in every chart and the slow command in
# the slow-log table. A screenshot of the page is written to the given path.
#   dashboard_browser.sh <vorel-server> <screenshot.png>
set -u
server=$1
shot=$2
browser=$(command -v chromium || command -v chromium-browser || true)
[ -n "$browser" ] || { echo "chromium is not installed"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"; [ -n "${load:-}" ] && kill "$load" 2>/dev/null; [ -n "${pid:-}" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null' EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()')
"$server" --port "$port" --maxmemory 64 >"$work/server.log" 2>&1 &
pid=$!
for _ in $(seq 1 100); do grep -q listening "$work/server.log" && break; sleep 0.05; done

# A small RESP client: runs the requests given as argument lists and prints the replies' first lines.
cat >"$work/resp.py" <<'PY'
import socket, sys, time
def conn(port):
    s = socket.create_connection(("127.0.0.1", port)); s.settimeout(10); return s
def request(*args):
    out = b"*%d\r\n" % len(args)
    for a in args:
        a = a if isinstance(a, bytes) else str(a).encode()
        out += b"$%d\r\n%s\r\n" % (len(a), a)
    return out
def reply(f):
    line = f.readline()
    kind, rest = line[:1], line[1:-2]
    if kind == b"$" and int(rest) >= 0: f.read(int(rest) + 2)
    elif kind == b"*":
        for _ in range(max(0, int(rest))): reply(f)
    return line
port, mode = int(sys.argv[1]), sys.argv[2]
s = conn(port); f = s.makefile("rb")
def call(*args):
    s.sendall(request(*args)); return reply(f)
if mode == "slow":
    call("CLIENT", "SETNAME", "dashboard-test")
    call("CONFIG", "SET", "slowlog-log-slower-than", "-1")  # the loading is not what the table should show
    for n in range(2):
        for b in range(60):
            call("SADD", "s%d" % n, *[n * 30000 + b * 1000 + i for i in range(1000)])
    call("CONFIG", "SET", "slowlog-log-slower-than", "1000")
    print(call("SUNIONSTORE", "union", "s0", "s1").decode().strip())
else:  # light load: a few hundred GET/SET a second with some misses, for at most two minutes
    end = time.time() + 120; i = 0
    extra = [conn(port) for _ in range(3)]
    for k in range(500): call("SET", "key:%d" % k, "x" * (k % 200))
    while time.time() < end:
        call("SET", "key:%d" % (i % 500), "x" * (i % 200))
        call("GET", "key:%d" % ((i * 389) % 600))
        i += 1
        time.sleep(0.004)
PY
union=$(python3 "$work/resp.py" "$port" slow)
[ "$union" = ":90000" ] || { echo "SUNIONSTORE replied '$union'"; exit 1; }
python3 "$work/resp.py" "$port" load &
load=$!
sleep 1

chrome() {
  timeout 90 "$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync --hide-scrollbars \
    --user-data-dir="$work/profile" --virtual-time-budget=10000 "$@" 2>/dev/null
}
url="http://127.0.0.1:$port/dashboard?interval=250"
dom=$(chrome --window-size=1000,720 --dump-dom "$url")

fail=0
# Each chart carries the number of points it drew; the table rows hold the slow log.
for chart in ops-chart mem-chart clients-chart hits-chart; do
  points=$(grep -o "id=\"$chart\"[^>]*data-points=\"[0-9]*\"" <<<"$dom" | grep -o 'data-points="[0-9]*"' | grep -o '[0-9]*')
  if [ -z "$points" ] || [ "$points" -lt 5 ]; then echo "chart $chart has ${points:-no} data points"; fail=1; fi
  if ! grep -q "id=\"$chart\"[^>]*>.*<polyline" <<<"$dom"; then echo "chart $chart draws no line"; fail=1; fi
done
table=$(sed -n '/<table id="slowlog">/,/<\/table>/p' <<<"$dom")
grep -q '<td class="cmd">SUNIONSTORE union s0 s1</td>' <<<"$table" || { echo "the slow-log table lacks the union"; fail=1; }
grep -q 'dashboard-test' <<<"$table" || { echo "the slow-log table lacks the client name"; fail=1; }
grep -q '<span id="status" class="bad"' <<<"$dom" && { echo "the page reports a failed poll"; fail=1; }

# The screenshot: a real PNG of the page at 1000 px.
rm -f "$shot"
chrome --window-size=1000,440 --screenshot="$shot" "$url" >/dev/null
head -c 8 "$shot" 2>/dev/null | od -An -tx1 | grep -q '89 50 4e 47 0d 0a 1a 0a' || { echo "no PNG written to $shot"; fail=1; }

[ $fail -eq 0 ] || { echo "dom: $dom"; exit 1; }
echo "dashboard browser test: 1 passed, 0 failed"
