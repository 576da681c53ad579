#!/usr/bin/env bash
# scaling_table.sh — runs the Scaling benchmarks of vorel_keyspace_bench and prints
# one row per operation: CPU nanoseconds per operation at 1,000, 100,000 and
# 1,000,000 elements, and the ratio of the largest to the smallest.
#
#   bench/scaling_table.sh [--build-dir DIR]
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$ROOT/build-compare"
if [ "${1:-}" = "--build-dir" ]; then BUILD="$2"; fi

if [ ! -x "$BUILD/bench/vorel_keyspace_bench" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOREL_TESTS=OFF -DVOREL_BENCH=ON >/dev/null
fi
cmake --build "$BUILD" --target vorel_keyspace_bench >/dev/null

"$BUILD/bench/vorel_keyspace_bench" --benchmark_filter=Scaling --benchmark_format=csv 2>/dev/null |
  awk -F, '
    /^"BM_Scaling_/ {
      name = $1; gsub(/"/, "", name)
      split(name, parts, "/")
      op = parts[1]; sub(/^BM_Scaling_/, "", op)
      n = parts[2]
      ns[op, n] = $4
      if (!(op in seen)) { seen[op] = 1; order[++count] = op }
    }
    END {
      printf "| %-24s | %10s | %10s | %10s | %8s |\n", "operation (ns/op, CPU)", "1k", "100k", "1M", "1M / 1k"
      printf "|%s|%s|%s|%s|%s|\n", "--------------------------", "------------", "------------", "------------", "----------"
      for (i = 1; i <= count; i++) {
        op = order[i]
        a = ns[op, 1000]; b = ns[op, 100000]; c = ns[op, 1000000]
        printf "| %-24s | %10.0f | %10.0f | %10.0f | %8.1f |\n", op, a, b, c, (a > 0 ? c / a : 0)
      }
    }'
