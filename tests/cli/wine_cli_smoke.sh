#!/usr/bin/env bash
# vorel-cli.exe under Wine against the Linux vorel-server on a free loopback
# port: a one-shot command with a nested reply, an error reply's exit status,
# and a --pipe load of command lines with Windows line ends (standard input is
# read as bytes) checked by its counts.
# usage: wine_cli_smoke.sh VOREL_SERVER WINE VOREL_CLI_EXE
set -u
server=$1 wine=$2 cli=$3
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()')
"$server" --port "$port" >/dev/null 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null' EXIT
for _ in $(seq 1 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.05; done

fail() { echo "wine cli smoke: $*" >&2; exit 1; }
out=$("$wine" "$cli" -p "$port" --resp3 SCAN 0 COUNT 10 | tr -d '\r')
[ "$out" = $'1) "0"\n2) (empty array)' ] || fail "SCAN printed: $out"
"$wine" "$cli" -p "$port" RPUSH l "a b" >/dev/null
out=$("$wine" "$cli" -p "$port" LRANGE l 0 -1 | tr -d '\r')
[ "$out" = '1) "a b"' ] || fail "LRANGE printed: $out"
"$wine" "$cli" -p "$port" INCR l >/dev/null && fail "an error reply exited 0"
out=$(for i in $(seq 1 1000); do printf 'SET key:%d %d\r\n' "$i" "$i"; done | "$wine" "$cli" -p "$port" --pipe | tr -d '\r')
[ "$out" = "replies: 1000, errors: 0" ] || fail "--pipe printed: $out"
out=$("$wine" "$cli" -p "$port" GET key:1000 | tr -d '\r')
[ "$out" = '"1000"' ] || fail "GET after the load printed: $out"
echo "wine cli smoke: 5 passed, 0 failed"
