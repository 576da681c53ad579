#!/usr/bin/env bash
# Installs the built library into a temporary prefix and uses it as an outside
# project would: checks the installed layout (SONAME and version links, tools
# that find the library), then builds examples/host_example.c once through
# find_package(vorel) and once through pkg-config, and runs each build on a free
# loopback port.
# usage: consumer_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
LIB=libtavrinex-vorel-132r3.so
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}
fail() { echo "consumer test: $*" >&2; exit 1; }

# The example prints this line once its GET over the wire returned the value.
run_example() {
  local out
  out=$("$1" "$(free_port)" 2>&1) || fail "$2 build failed to run: $out"
  grep -q "GET greeting over the wire: hello" <<<"$out" || fail "$2 build printed: $out"
}

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
[ -f "$prefix/include/vorel.h" ] || fail "no include/vorel.h"
libfile=$(find "$prefix" -name "$LIB.1.3.2" -type f)
[ -n "$libfile" ] || fail "no $LIB.1.3.2"
libdir=$(dirname "$libfile")
[ "$(readlink "$libdir/$LIB.1")" = "$LIB.1.3.2" ] || fail "$LIB.1 does not link to $LIB.1.3.2"
[ "$(readlink "$libdir/$LIB")" = "$LIB.1" ] || fail "$LIB does not link to $LIB.1"
soname=$(readelf -d "$libfile" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "$LIB.1" ] || fail "SONAME is '$soname'"
for tool in vorel-server vorel-cli; do
  [ "$(env -u LD_LIBRARY_PATH "$prefix/bin/$tool" --version)" = "$tool 1.3.2" ] ||
    fail "installed $tool --version failed"
done
[ -f "$prefix/share/doc/vorel/README.md" ] || fail "no README"

# find_package(vorel) from an outside source tree.
mkdir "$work/proj"
cp "$src/tests/consumer/CMakeLists.txt" "$src/examples/host_example.c" "$work/proj/"
cmake -S "$work/proj" -B "$work/proj/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/proj/build" >/dev/null
run_example "$work/proj/build/host_example" "find_package"

# pkg-config with the installed vorel.pc.
pc=$(find "$prefix" -name vorel.pc)
[ -n "$pc" ] || fail "no vorel.pc"
export PKG_CONFIG_PATH=$(dirname "$pc")
[ "$(pkg-config --modversion vorel)" = 1.3.2 ] || fail "pkg-config --modversion vorel failed"
# shellcheck disable=SC2046
cc "$work/proj/host_example.c" $(pkg-config --cflags --libs vorel) \
  -Wl,-rpath,"$(pkg-config --variable=libdir vorel)" -o "$work/host_example_pc"
run_example "$work/host_example_pc" "pkg-config"
echo "consumer test: installed layout, find_package and pkg-config builds passed"
