#!/usr/bin/env bash
# The README's two commands in either order: in a scratch copy of the sources
# it runs the configure steps of run.sh and test.sh (from scripts/trees.sh) as
# run, test, run again, and checks after each that both trees keep their own
# build type and warning policy (build/: Release without -Werror; build-test/:
# RelWithDebInfo with -Werror). It then builds the test support code in Release
# with warnings as errors, where GCC's -O3 once reported a false warning.
# usage: build_trees_test.sh SOURCE_DIR
set -euo pipefail
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "build trees test: $*" >&2; exit 1; }

tar -C "$src" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$work" -xf -
cd "$work"
source scripts/trees.sh

# Both scripts must configure through these functions and use their trees.
grep -q '^configure_run_tree' scripts/run.sh && grep -q 'exec build/vorel-server' scripts/run.sh ||
  fail "run.sh does not configure and run build/ through configure_run_tree"
grep -q '^configure_test_tree' scripts/test.sh && grep -q 'ctest --test-dir build-test' scripts/test.sh ||
  fail "test.sh does not configure and test build-test/ through configure_test_tree"

cached() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }
expect_trees() {
  [ "$(cached build CMAKE_BUILD_TYPE) $(cached build VOREL_WERROR)" = "Release OFF" ] ||
    fail "after $1: build/ is $(cached build CMAKE_BUILD_TYPE) with VOREL_WERROR=$(cached build VOREL_WERROR)"
  [ ! -d build-test ] ||
    [ "$(cached build-test CMAKE_BUILD_TYPE) $(cached build-test VOREL_WERROR)" = "RelWithDebInfo ON" ] ||
    fail "after $1: build-test/ is $(cached build-test CMAKE_BUILD_TYPE) with VOREL_WERROR=$(cached build-test VOREL_WERROR)"
}

configure_run_tree >/dev/null && expect_trees "run.sh"
configure_test_tree >/dev/null && expect_trees "run.sh, test.sh"
configure_run_tree >/dev/null && expect_trees "run.sh, test.sh, run.sh"

cmake -S . -B build-release-werror -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOREL_WERROR=ON -DVOREL_BENCH=OFF >/dev/null
cmake --build build-release-werror -j2 --target vorel_test_support >"$work/build.log" 2>&1 ||
  { tail -n 30 "$work/build.log" >&2; fail "Release build with -Werror of the test support failed"; }
echo "build trees test: run.sh and test.sh trees independent in both orders; Release test support builds with -Werror"
