#!/usr/bin/env bash
# Installs what is missing, builds twice (normal, and with AddressSanitizer
# and UBSan) and runs every test in both builds; builds the Debian package
# and starts the unpacked program once (scripts/smoke-package.sh); then
# builds the fuzz targets (clang) and runs each for 60 seconds on its seed
# corpus (scripts/fuzz.sh; MAILGROVE_FUZZ_SECONDS changes the time, 0 skips
# the fuzzing).
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
scripts/smoke-package.sh
fuzz_seconds=${MAILGROVE_FUZZ_SECONDS:-60}
if [ "$fuzz_seconds" != 0 ]; then
  echo "== fuzzing, ${fuzz_seconds}s per target"
  scripts/fuzz.sh -j "$jobs" "$fuzz_seconds"
fi
