#!/bin/bash
# Builds both targets and prints the benchmark's figures: garvelux against
# a minimal probe on the same loopback NCP server, in namespaces of their
# own (the clock call is answered by a test library); then both builds with
# a dead first address and over a lossy path.
# usage: bench/run.sh [RUNS] [LOSSY_RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
bash .ci/install-packages >/dev/null
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake >/dev/null
cmake --build build-win32 -j"$(nproc)" --target garvelux >/dev/null
hosts=$(mktemp)
trap 'rm -f "$hosts"' EXIT
printf '127.0.0.1 localhost\n127.0.0.1 srv1\n::1 both\n127.0.0.1 both\n' >"$hosts"
chmod 644 "$hosts" # a run reads it as user 65534
tests/in_namespace.sh "$hosts" python3 bench/bench.py build build-win32 "${1:-200}" "${2:-100}"
