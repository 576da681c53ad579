#!/usr/bin/env bash
# run.sh — builds vorel-server (Release) into build/ and runs it on port 6379.
# Extra arguments go to vorel-server, e.g. bash scripts/run.sh --password secret
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
source scripts/trees.sh
configure_run_tree >/dev/null
cmake --build build -j2 --target vorel-server
exec build/vorel-server --port 6379 "$@"
