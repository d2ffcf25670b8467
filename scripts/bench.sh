#!/usr/bin/env bash
# Builds the benchmarks (optimised, with debug information) and runs one.
#
#   scripts/bench.sh [--messages N] [--repetitions R] [--quick] [--small S] [--memory M]
#       the scan over links of 0, 5, 20 and 50 ms round-trip time: lock-step
#       floor, pipelined floor and the main window's scan, in one table, with
#       the window's scan when the server hides PIPELINING; then the window's
#       rescans with its header cache (2,000 cached messages and 10 new, at
#       0, 20 and 50 ms, with and without PIPELINING), and with M > 0 the
#       memory of a scan of M messages and the cost of scanning them again
#       (bench_links; about 6 to 12 minutes, --quick about 4)
#   scripts/bench.sh delete [--repetitions R] [--quick] [--messages N]
#       deleting 100 messages of 20 KB in the main window, at 0 and 20 ms,
#       with PIPELINING and without, with the bin and without: the delete
#       alone and with the log-off, and the bin's cost as a ratio (bench_links
#       --delete; about 2 minutes, --quick about 1)
#   scripts/bench.sh scan [--messages N] [--repetitions R] [--tls] [--serve]
#       the POP3 component against the lock-step floor on loopback
#       (bench_scan); --tls and --serve alone also choose it
#
# MAILGROVE_BENCH_BUILD_DIR chooses the build directory (default: build-bench).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${MAILGROVE_BENCH_BUILD_DIR:-build-bench}
target=bench_links
case "${1:-}" in
  scan) target=bench_scan; shift ;;
  delete) shift; set -- --delete "$@" ;;
esac
for arg in "$@"; do
  case "$arg" in --tls|--serve) target=bench_scan ;; esac
done
scripts/deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMAILGROVE_SANITIZE=OFF -DMAILGROVE_BENCH=ON >/dev/null
cmake --build "$build" --target "$target"
exec "$build/bench/$target" "$@"
