#!/usr/bin/env bash
# setup.sh — installs the build tools that vorel needs on Debian 12: CMake, Ninja,
# g++, GoogleTest, Google Benchmark, the mingw-w64 cross compiler for the
# Windows DLL, libedit (line editing in vorel-cli) and pkg-config (the check of
# the installed vorel.pc). With --tests it also installs what the test suite drives: Python
# (helper scripts), Chromium (the browser check of the index page), Wine (the
# Windows build's tests) and clang with its fuzzing runtime. Does
# nothing when everything is present already.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev g++-mingw-w64-x86-64-posix libedit-dev pkg-config)
if [ "${1:-}" = "--tests" ]; then
  packages+=(python3 chromium wine64 clang libclang-rt-14-dev)
fi

missing=()
for pkg in "${packages[@]}"; do
  if ! dpkg -s "$pkg" >/dev/null 2>&1; then
    missing+=("$pkg")
  fi
done
[ "${#missing[@]}" -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO=(sudo)
  else
    echo "setup.sh: missing packages (${missing[*]}) and not root to install them" >&2
    exit 1
  fi
else
  SUDO=()
fi

echo "setup.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
# The browser comes with its recommended packages (fonts and the like).
browser=()
rest=()
for pkg in "${missing[@]}"; do
  if [ "$pkg" = chromium ]; then browser+=("$pkg"); else rest+=("$pkg"); fi
done
[ "${#rest[@]}" -eq 0 ] || "${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${rest[@]}" >/dev/null
[ "${#browser[@]}" -eq 0 ] || "${SUDO[@]}" apt-get install -y -qq "${browser[@]}" >/dev/null
