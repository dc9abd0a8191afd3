#!/bin/bash
# Builds the fuzz targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for the given seconds from its
# seed corpus. A crash leaves its input in build-fuzz/ and fails the run.
# usage: fuzz/run.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DGARVELUX_FUZZ=ON -DGARVELUX_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-fuzz -j"$(nproc)"
for target in ncp_reply slp_reply cmdline; do
    corpus=build-fuzz/corpus/$target
    mkdir -p "$corpus"
    cp fuzz/corpus/$target/* "$corpus/"
    echo "== $target for $seconds s"
    if ! ./build-fuzz/fuzz/${target}_fuzz -max_total_time="$seconds" -max_len=4096 \
        -print_final_stats=1 -artifact_prefix=build-fuzz/$target- "$corpus" >build-fuzz/$target.log 2>&1; then
        tail -40 build-fuzz/$target.log
        exit 1
    fi
    grep -E '^(Done|stat::peak_rss)' build-fuzz/$target.log
done
