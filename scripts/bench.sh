#!/usr/bin/env bash
# Builds the scan benchmark (optimised, with debug information) and runs it;
# arguments go to bench_scan (--messages N, --repetitions R, --tls).
# MAILGROVE_BENCH_BUILD_DIR chooses the build directory (default: build-bench).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${MAILGROVE_BENCH_BUILD_DIR:-build-bench}
scripts/deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMAILGROVE_SANITIZE=OFF -DMAILGROVE_BENCH=ON >/dev/null
cmake --build "$build" --target bench_scan
exec "$build/bench/bench_scan" "$@"
