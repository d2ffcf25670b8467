#!/usr/bin/env bash
# Installs what is missing, builds twice (normal, and with AddressSanitizer
# and UBSan) and runs every test in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)
for variant in normal asan; do
  dir=build-ci-$variant
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
  [ "$variant" = asan ] && flags+=(-DMAILGROVE_SANITIZE=ON)
  echo "== $variant build"
  cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "== $variant tests"
  ASAN_OPTIONS=detect_leaks=0 QT_QPA_PLATFORM=offscreen \
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600
done
