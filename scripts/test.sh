#!/usr/bin/env bash
# test.sh — the full check of vorel: builds and tests the Linux library
# (build-test/; the tests include installing it and building the example host
# against the installed copy), packs and checks the Linux archive, builds and
# tests it again under AddressSanitizer and UndefinedBehaviorSanitizer
# (build-asan/), cross-builds, packs and tests the Windows DLL and executables
# (build-win/), and checks that both libraries export nothing but the vorel_
# functions. Every tree here treats warnings as errors (VOREL_WERROR); build/
# belongs to run.sh and is left alone.
set -euo pipefail
cd "$(dirname "$0")/.."

LIB=tavrinex-vorel-132r3
step="setup"
trap 'echo "test.sh: FAILED during: $step" >&2' ERR

# Tests that ctest ran in a build directory, taken from its closing line.
tests_run() {
  sed -n 's/.*tests passed, \([0-9][0-9]*\) tests failed out of \([0-9][0-9]*\).*/\2/p' "$1" | tail -n 1
}

# Fails, saying what ($1) holds ($2) and listing the lines ($3), unless $3 is empty.
no_stray() {
  [ -z "$3" ] && return 0
  echo "test.sh: $1 $2:" >&2
  echo "$3" >&2
  return 1
}

# Every name in $2 (one per line) must start with vorel_, and every function that
# include/vorel.h declares must be among them.
check_exports() {
  local what=$1 names=$2
  if [ -z "$names" ]; then
    echo "test.sh: $what exports nothing" >&2
    return 1
  fi
  no_stray "$what" "exports symbols other than vorel_ functions" "$(grep -v '^vorel_' <<<"$names" || true)" || return 1
  local fn
  for fn in $(grep -o 'vorel_[a-z_]*(' include/vorel.h | tr -d '(' | sort -u); do
    if ! grep -qx "$fn" <<<"$names"; then
      echo "test.sh: $what does not export $fn" >&2
      return 1
    fi
  done
  echo "test.sh: $what exports only vorel_ functions ($(wc -l <<<"$names") of them)"
}

# An archive's listing ($2, one path per line) holds every path given after it,
# each below the archive's single top folder, and nothing outside bin/, include/,
# lib/ and share/doc/vorel/ (no test programs or stray files).
check_listing() {
  local what=$1 listing=$2 want
  shift 2
  for want in "$@"; do
    if ! grep -qE "^[^/]+/${want//./\.}\$" <<<"$listing"; then
      echo "test.sh: $what lacks $want" >&2
      return 1
    fi
  done
  no_stray "$what" "holds unexpected files" \
    "$(grep -vE '^[^/]+/((bin|include|lib|share/doc/vorel)(/.*)?|share/|share/doc/)?$' <<<"$listing" || true)" || return 1
  echo "test.sh: $what holds the $# expected files ($(grep -vc '/$' <<<"$listing") files in all)"
}

bash scripts/setup.sh --tests
source scripts/trees.sh
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

step="Linux build (build-test/)"
configure_test_tree >/dev/null
cmake --build build-test -j2

step="Linux tests (build-test/)"
ctest --test-dir build-test --output-on-failure -j2 2>&1 | tee "$logs/linux.log"
linux_tests=$(tests_run "$logs/linux.log"); linux_tests=${linux_tests:-0}

step="Linux export check"
check_exports "build-test/lib$LIB.so" \
  "$(nm -D --defined-only "build-test/lib$LIB.so" | awk 'NF >= 3 {print $3}' | sort -u)"

step="Linux archive (build-test/)"
(cd build-test && cpack -G TGZ >/dev/null)
check_listing "build-test/vorel-1.3.2-linux-x86_64.tar.gz" \
  "$(tar tzf build-test/vorel-1.3.2-linux-x86_64.tar.gz)" \
  include/vorel.h "lib/lib$LIB.so" "lib/lib$LIB.so.1" "lib/lib$LIB.so.1.3.2" \
  bin/vorel-server bin/vorel-cli share/doc/vorel/README.md \
  lib/cmake/vorel/vorelConfig.cmake lib/cmake/vorel/vorelTargets.cmake lib/pkgconfig/vorel.pc

step="sanitizer build (build-asan/)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOREL_WERROR=ON \
  -DVOREL_SANITIZE=ON -DVOREL_BENCH=OFF >/dev/null
cmake --build build-asan -j2

step="sanitizer tests (build-asan/)"
ctest --test-dir build-asan --output-on-failure -j2 2>&1 | tee "$logs/asan.log"
asan_tests=$(tests_run "$logs/asan.log"); asan_tests=${asan_tests:-0}

step="Windows cross-build (build-win/)"
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOREL_WERROR=ON -DVOREL_BENCH=OFF >/dev/null
cmake --build build-win -j2
win_outputs=("build-win/$LIB.dll" build-win/vorel-server.exe build-win/vorel-cli.exe)
[ -f tools/vorel_benchmark_main.cpp ] && win_outputs+=(build-win/vorel-benchmark.exe)
for f in "${win_outputs[@]}"; do
  [ -f "$f" ] || { echo "test.sh: $f was not built" >&2; false; }
done

step="Windows archive (build-win/)"
(cd build-win && cpack -G ZIP >/dev/null)
check_listing "build-win/vorel-1.3.2-windows-x86_64.zip" \
  "$(python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' \
      build-win/vorel-1.3.2-windows-x86_64.zip)" \
  "bin/$LIB.dll" "lib/$LIB.dll.a" "lib/$LIB.def" include/vorel.h \
  bin/vorel-server.exe bin/vorel-cli.exe share/doc/vorel/README.md

step="Windows export check"
# The export table lists one "[ n] name" line per exported name.
check_exports "build-win/$LIB.dll" \
  "$(x86_64-w64-mingw32-objdump -p "build-win/$LIB.dll" |
     awk '/\[Ordinal\/Name Pointer\] Table/ {t = 1; next} t && /^[ \t]*\[/ {print $NF; next} t {t = 0}' |
     sort -u)"

step="Windows tests under Wine (build-win/)"
# A throwaway Wine prefix inside the build folder; the test programs find the DLL
# through WINEPATH. Each program's closing line gives its count.
export WINEPREFIX="$PWD/build-win/wineprefix" WINEDEBUG=-all WINEPATH="Z:${PWD//\//\\}\\build-win"
win_tests=0
for prog in vorel_unit_tests vorel_server_unit_tests vorel_integration_tests vorel_alloc_failure_tests vorel_cli_unit_tests; do
  (cd build-win/tests && timeout 1200 /usr/lib/wine/wine64 "$prog.exe") 2>&1 | tee "$logs/win-$prog.log" | grep -E '^\[  (FAILED|PASSED) |tests ran' || true
  passed=$(sed -n 's/^\[  PASSED  \] \([0-9][0-9]*\) tests\?\..*/\1/p' "$logs/win-$prog.log" | tail -n 1)
  if [ -z "$passed" ] || grep -q '^\[  FAILED  \]' "$logs/win-$prog.log"; then
    echo "test.sh: $prog failed under Wine" >&2
    tail -n 40 "$logs/win-$prog.log" >&2
    false
  fi
  win_tests=$((win_tests + passed))
done

step="Windows vorel-cli under Wine"
bash tests/cli/wine_cli_smoke.sh build-test/vorel-server /usr/lib/wine/wine64 build-win/vorel-cli.exe
win_tests=$((win_tests + 1))

step="fuzzing (build-fuzz/)"
# Each libFuzzer target runs for a bounded time from the committed seeds; a
# crash, leak or sanitizer report fails the run. New inputs stay in build-fuzz/.
fuzz_seconds=${VOREL_FUZZ_SECONDS:-45}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOREL_WERROR=ON \
  -DVOREL_FUZZ=ON >/dev/null
cmake --build build-fuzz -j2 --target fuzz_all
fuzz_runs=0
for target in fuzz_framer fuzz_replay fuzz_glob fuzz_commands; do
  seeds="fuzz/corpus/${target#fuzz_}"
  work="build-fuzz/corpus-${target#fuzz_}"
  mkdir -p "$work"
  (cd build-fuzz && "./fuzz/$target" -max_total_time="$fuzz_seconds" -rss_limit_mb=4096 -print_final_stats=1 \
      "../$work" "../$seeds") >"$logs/$target.log" 2>&1 || {
    echo "test.sh: $target found a failure:" >&2
    grep -E 'ERROR|SUMMARY|invariant|Test unit written' "$logs/$target.log" >&2 || tail -n 30 "$logs/$target.log" >&2
    false
  }
  echo "test.sh: $target: $(grep -E '^Done' "$logs/$target.log")"
  fuzz_runs=$((fuzz_runs + 1))
done

step="summary"
total=$((linux_tests + asan_tests + win_tests + fuzz_runs))
echo
echo "test.sh: all checks passed — Linux ctest $linux_tests tests, sanitizer ctest $asan_tests tests, Windows (Wine) $win_tests tests, $fuzz_runs fuzz targets clean, exports limited to vorel_, Linux and Windows archives complete"
echo "tests: $total passed, 0 failed"
