#!/usr/bin/env bash
# compare.sh — measures vorel-server against vorel-ceiling (a do-nothing responder
# with the same framing and polling) in one run and prints the ratios.
#
# Both servers run pinned to one core and the load generator to the other, over
# the same scenarios: 50 clients at pipeline 1 (GET only, SET only), 50 clients at
# pipeline 32 (90 % GET), and 1 client at pipeline 1 (latency), with 100,000 keys
# filled first and 100-byte values. Each run measures every scenario on both
# servers back to back (ceiling, server, server, ceiling, each for the given
# duration, averaged per side); the summary gives the median ratio over the runs.
# A third server with the append-only log on (appendfsync everysec, a file in a
# temporary directory) runs the same scenarios right after the log-off server,
# and the summary also gives the median log-on/log-off ratio (target 0.90 for
# SET at pipeline 1 and the pipeline-32 mix). Beside the rates, each run prints
# the processor time the ceiling and the server spent per request, in user and
# in system mode: where a gap in the rate comes from.
#
#   bench/compare.sh [--runs N] [--duration S] [--build-dir DIR] [--server-core C] [--client-core C]
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
RUNS=3
DURATION=5
BUILD="$ROOT/build-compare"
SERVER_CORE=0
CLIENT_CORE=1
KEYSPACE=100000

while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS="$2"; shift 2 ;;
    --duration) DURATION="$2"; shift 2 ;;
    --build-dir) BUILD="$2"; shift 2 ;;
    --server-core) SERVER_CORE="$2"; shift 2 ;;
    --client-core) CLIENT_CORE="$2"; shift 2 ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) echo "compare.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

if [ ! -x "$BUILD/vorel-server" ] || [ ! -x "$BUILD/vorel-ceiling" ] || [ ! -x "$BUILD/vorel-benchmark" ]; then
  echo "building a release build in $BUILD"
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOREL_TESTS=OFF -DVOREL_BENCH=OFF >/dev/null
fi
cmake --build "$BUILD" --target vorel-server vorel-ceiling vorel-benchmark >/dev/null

# A loopback port nobody answers on right now, below the range the system hands
# out to outgoing connections: a port that one of the load generator's
# connections holds cannot be bound by a server.
free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 12000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then echo "$p"; return; fi
  done
}

wait_for_port() {
  for _ in $(seq 1 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  echo "compare.sh: nothing listens on port $1" >&2
  return 1
}

PIDS=()
cleanup() { for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT

# name | clients | pipeline | vorel-benchmark test
SCENARIOS=(
  "get_p1|50|1|get"
  "set_p1|50|1|set"
  "mixed_p32|50|32|mixed"
  "latency_1c|1|1|get"
)

RESULTS="$(mktemp)"
LOGDIR="$(mktemp -d)"
trap 'cleanup; rm -f "$RESULTS"; rm -rf "$LOGDIR"' EXIT

CLOCK_TICK=$(getconf CLK_TCK)

# The user and system time a process has used so far, in clock ticks.
cpu_ticks() { awk '{ print $14, $15 }' "/proc/$1/stat"; }

# Runs one scenario against the server process `pid` listening on a port;
# prints "rps p99_ms p50_ms user_ns sys_ns", the last two being that process's
# processor time per request over the scenario. The load generator fills the
# keyspace before it starts timing, and the fill's time is counted too: a few
# per cent of the total for 50 clients, but more than the timed requests' own
# for the single client, whose figures are therefore not printed.
measure() {
  local pid="$1" port="$2" clients="$3" pipeline="$4" test="$5" u0 s0 u1 s1 line
  read -r u0 s0 <<<"$(cpu_ticks "$pid")"
  line=$(taskset -c "$CLIENT_CORE" "$BUILD/vorel-benchmark" --port "$port" --clients "$clients" --pipeline "$pipeline" \
    --duration "$DURATION" --keyspace "$KEYSPACE" --data-size 100 --tests "$test" --csv |
    awk -F, -v t="$test" '$1 == t { print $2, $4, $6, $5 }')
  read -r u1 s1 <<<"$(cpu_ticks "$pid")"
  awk -v l="$line" -v du=$((u1 - u0)) -v ds=$((s1 - s0)) -v hz="$CLOCK_TICK" 'BEGIN {
    split(l, f, " "); n = f[1] > 0 ? f[1] : 1
    print f[2], f[3], f[4], du * 1e9 / hz / n, ds * 1e9 / hz / n }'
}

for run in $(seq 1 "$RUNS"); do
  CPORT=$(free_port)
  taskset -c "$SERVER_CORE" "$BUILD/vorel-ceiling" --port "$CPORT" & PIDS+=($!)
  CPID=$!
  SPORT=$(free_port)
  while [ "$SPORT" = "$CPORT" ]; do SPORT=$(free_port); done
  taskset -c "$SERVER_CORE" "$BUILD/vorel-server" --port "$SPORT" >/dev/null & PIDS+=($!)
  SPID=$!
  LPORT=$(free_port)
  while [ "$LPORT" = "$CPORT" ] || [ "$LPORT" = "$SPORT" ]; do LPORT=$(free_port); done
  rm -f "$LOGDIR/run.aof"
  taskset -c "$SERVER_CORE" "$BUILD/vorel-server" --port "$LPORT" --aof "$LOGDIR/run.aof" --appendfsync everysec \
    >/dev/null & PIDS+=($!)
  LPID=$!
  wait_for_port "$CPORT"
  wait_for_port "$SPORT"
  wait_for_port "$LPORT"
  for s in "${SCENARIOS[@]}"; do
    IFS='|' read -r name clients pipeline test <<<"$s"
    # Ceiling, server, server, ceiling: a drift in the machine's speed during
    # the scenario weighs on both sides alike.
    read -r c1_rps c1_p99 c1_p50 c1_user c1_sys <<<"$(measure "$CPID" "$CPORT" "$clients" "$pipeline" "$test")"
    read -r s1_rps s1_p99 s1_p50 s1_user s1_sys <<<"$(measure "$SPID" "$SPORT" "$clients" "$pipeline" "$test")"
    read -r s2_rps s2_p99 s2_p50 s2_user s2_sys <<<"$(measure "$SPID" "$SPORT" "$clients" "$pipeline" "$test")"
    read -r c2_rps c2_p99 c2_p50 c2_user c2_sys <<<"$(measure "$CPID" "$CPORT" "$clients" "$pipeline" "$test")"
    read -r c_p50 s_p50 <<<"$(awk -v a="$c1_p50" -v b="$c2_p50" -v c="$s1_p50" -v d="$s2_p50" \
      'BEGIN { print (a + b) / 2, (c + d) / 2 }')"
    read -r c_rps c_p99 s_rps s_p99 <<<"$(awk -v a="$c1_rps" -v b="$c2_rps" -v c="$c1_p99" -v d="$c2_p99" \
      -v e="$s1_rps" -v f="$s2_rps" -v g="$s1_p99" -v h="$s2_p99" \
      'BEGIN { print (a + b) / 2, (c + d) / 2, (e + f) / 2, (g + h) / 2 }')"
    # Log on, measured between two more log-off runs the same way.
    read -r l1_rps _ <<<"$(measure "$LPID" "$LPORT" "$clients" "$pipeline" "$test")"
    read -r s3_rps _ <<<"$(measure "$SPID" "$SPORT" "$clients" "$pipeline" "$test")"
    read -r l2_rps _ <<<"$(measure "$LPID" "$LPORT" "$clients" "$pipeline" "$test")"
    read -r l_rps off_rps <<<"$(awk -v a="$l1_rps" -v b="$l2_rps" -v c="$s2_rps" -v d="$s3_rps" \
      'BEGIN { print (a + b) / 2, (c + d) / 2 }')"
    echo "$run $name $c_rps $c_p99 $s_rps $s_p99 $l_rps $off_rps $c_p50 $s_p50" >>"$RESULTS"
    printf 'run %d %-11s ceiling %10.0f rps p99 %6.3f ms | vorel %10.0f rps p99 %6.3f ms | rps %5.1f %% p99 x%.2f\n' \
      "$run" "$name" "$c_rps" "$c_p99" "$s_rps" "$s_p99" \
      "$(awk -v a="$s_rps" -v b="$c_rps" 'BEGIN { print 100 * a / b }')" \
      "$(awk -v a="$s_p99" -v b="$c_p99" 'BEGIN { print (b > 0 ? a / b : 0) }')"
    if [ "$clients" -gt 1 ]; then
      read -r c_user c_sys s_user s_sys <<<"$(awk -v a="$c1_user" -v b="$c2_user" -v c="$c1_sys" -v d="$c2_sys" \
        -v e="$s1_user" -v f="$s2_user" -v g="$s1_sys" -v h="$s2_sys" \
        'BEGIN { print (a + b) / 2, (c + d) / 2, (e + f) / 2, (g + h) / 2 }')"
      printf 'run %d %-11s cpu per request: ceiling user %4.0f sys %4.0f ns | vorel user %4.0f sys %4.0f ns\n' \
        "$run" "$name" "$c_user" "$c_sys" "$s_user" "$s_sys"
    fi
    printf 'run %d %-11s log on %10.0f rps | log off %10.0f rps | log on/off %.2f\n' "$run" "$name" "$l_rps" \
      "$off_rps" "$(awk -v a="$l_rps" -v b="$off_rps" 'BEGIN { print (b > 0 ? a / b : 0) }')"
  done
  cleanup
  PIDS=()
done

# Medians over the runs, and the targets: at least 90 % of the ceiling's rate at
# pipeline 1, 80 % at pipeline 32, a p99 at most 1.2 times the ceiling's at
# pipeline 1, and for the single client a p50 at most 1.1 times the ceiling's. Under a saturating closed-loop load (every client keeps 32
# requests in flight) latency is the in-flight count over the rate, so the p99
# ratio at pipeline 32 is the reciprocal of the rate ratio; it is printed, not
# judged.
echo
echo "median over $RUNS runs:"
status=0
for s in "${SCENARIOS[@]}"; do
  IFS='|' read -r name clients pipeline test <<<"$s"
  line=$(awk -v n="$name" '$2 == n { r = $5 / $3; l = ($4 > 0 ? $6 / $4 : 0); print r, l, $3, $5, $4, $6 }' "$RESULTS" |
    sort -n -k1,1 | awk '{ a[NR] = $0 } END { print a[int((NR + 1) / 2)] }')
  read -r ratio _ c_rps s_rps _ _ <<<"$line"
  p99_ratio=$(awk -v n="$name" '$2 == n { print ($4 > 0 ? $6 / $4 : 0) }' "$RESULTS" | sort -n |
    awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
  p50_ratio=$(awk -v n="$name" '$2 == n { print ($9 > 0 ? $10 / $9 : 0) }' "$RESULTS" | sort -n |
    awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
  want=0.90
  [ "$pipeline" -gt 1 ] && want=0.80
  p99_limit=1.2
  [ "$pipeline" -gt 1 ] && p99_limit=1000000
  p50_limit=1000000
  [ "$clients" -eq 1 ] && p50_limit=1.1
  verdict=ok
  if awk -v r="$ratio" -v w="$want" -v l="$p99_ratio" -v m="$p99_limit" -v q="$p50_ratio" -v k="$p50_limit" \
    'BEGIN { exit !(r < w || l > m || q > k) }'; then
    verdict=MISSED
    status=1
  fi
  p99_target="target <= x1.20"
  [ "$pipeline" -gt 1 ] && p99_target="not judged"
  p50_target="not judged"
  [ "$clients" -eq 1 ] && p50_target="target <= x1.10"
  printf '  %-11s vorel/ceiling rps %5.1f %% (target %2.0f %%), p99 x%.2f (%s), p50 x%.2f (%s)  %s   [%.0f vs %.0f rps]\n' \
    "$name" "$(awk -v r="$ratio" 'BEGIN { print 100 * r }')" "$(awk -v w="$want" 'BEGIN { print 100 * w }')" \
    "$p99_ratio" "$p99_target" "$p50_ratio" "$p50_target" "$verdict" "$s_rps" "$c_rps"
done
echo
echo "log on (everysec) / log off, median over $RUNS runs:"
for s in "${SCENARIOS[@]}"; do
  IFS='|' read -r name clients pipeline test <<<"$s"
  ratio=$(awk -v n="$name" '$2 == n && $8 > 0 { print $7 / $8 }' "$RESULTS" | sort -n |
    awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
  verdict="(not judged)"
  if [ "$name" = set_p1 ] || [ "$name" = mixed_p32 ]; then
    verdict="(target 0.90) ok"
    if awk -v r="$ratio" 'BEGIN { exit !(r < 0.90) }'; then verdict="(target 0.90) MISSED"; status=1; fi
  fi
  printf '  %-11s log on/off %.2f %s\n' "$name" "$ratio" "$verdict"
done
exit $status
