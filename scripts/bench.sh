#!/usr/bin/env bash
# Builds the benchmarks (optimised, with debug information) and runs one.
#
#   scripts/bench.sh [--messages N] [--repetitions R] [--quick] [--small S] [--memory M]
#       the scan over links of 0, 5, 20 and 50 ms round-trip time: lock-step
#       floor, pipelined floor and the main window's scan, in one table
#       (bench_links; about 5 to 10 minutes, --quick about 2)
#   scripts/bench.sh scan [--messages N] [--repetitions R] [--tls] [--serve]
#       the POP3 component against the lock-step floor on loopback
#       (bench_scan); --tls and --serve alone also choose it
#
# MAILGROVE_BENCH_BUILD_DIR chooses the build directory (default: build-bench).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${MAILGROVE_BENCH_BUILD_DIR:-build-bench}
target=bench_links
if [ "${1:-}" = scan ]; then
  target=bench_scan
  shift
fi
for arg in "$@"; do
  case "$arg" in --tls|--serve) target=bench_scan ;; esac
done
scripts/deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMAILGROVE_SANITIZE=OFF -DMAILGROVE_BENCH=ON >/dev/null
cmake --build "$build" --target "$target"
exec "$build/bench/$target" "$@"
