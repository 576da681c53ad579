#!/usr/bin/env bash
# Smoke test of the vorel-server host CLI: it starts on a free loopback port,
# prints where it listens, answers PING over the wire, exits 0 on SIGTERM, and
# reports a start failure (busy port) with a non-zero exit, and prints its
# version and the list of its options.
set -u
server=$1
log=$(mktemp)
trap 'rm -f "$log"; [ -n "${pid:-}" ] && kill -9 "$pid" 2>/dev/null' EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

port=$(free_port)
"$server" --port "$port" >"$log" 2>&1 &
pid=$!
for _ in $(seq 1 100); do
  grep -q "$port" "$log" && break
  sleep 0.05
done
grep -q "listening on port $port" "$log" || { echo "no listening line: $(cat "$log")"; exit 1; }

exec 3<>"/dev/tcp/127.0.0.1/$port"
printf 'PING\r\n' >&3
read -r -t 5 reply <&3
exec 3<&-
[ "$reply" = $'+PONG\r' ] || { echo "unexpected reply: $reply"; exit 1; }

# A second server on the same port must fail with the bind error and exit non-zero.
if "$server" --port "$port" >"$log.2" 2>&1; then
  echo "second server on a busy port did not fail"; rm -f "$log.2"; exit 1
fi
grep -q "Failed to bind to port $port" "$log.2" || { echo "missing bind error: $(cat "$log.2")"; rm -f "$log.2"; exit 1; }
rm -f "$log.2"

"$server" --port nope >/dev/null 2>&1
[ $? -eq 2 ] || { echo "bad arguments did not exit 2"; exit 1; }

# --version names the library's version; --help lists every option.
[ "$("$server" --version)" = "vorel-server 1.3.2" ] || { echo "--version printed: $("$server" --version)"; exit 1; }
help=$("$server" --help)
for opt in --port --password --maxmemory --aof --help --version; do
  grep -q -- "^  $opt" <<<"$help" || { echo "--help does not list $opt"; exit 1; }
done

kill -TERM "$pid"
wait "$pid"
status=$?
pid=
[ $status -eq 0 ] || { echo "exit status $status after SIGTERM"; exit 1; }
echo "cli smoke: 1 passed, 0 failed"
