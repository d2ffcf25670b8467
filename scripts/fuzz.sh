#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (clang, AddressSanitizer and UBSan)
# and runs each on a copy of its seed corpus for a number of seconds.
#
#   scripts/fuzz.sh [-j N] [seconds] [target...]
#
# seconds defaults to 60; targets default to all of them; -j runs N targets
# at a time (default 1). The corpora grow in <build>/fuzz-runs/<target>/corpus,
# never in fuzz/corpus. A finding (crash-*, leak-*, timeout-*, oom-*) is left
# in <build>/fuzz-runs/<target>/ and makes the script fail. The build
# directory is build-fuzz-ci unless MAILGROVE_FUZZ_BUILD names another.
set -euo pipefail
cd "$(dirname "$0")/.."
parallel=1
if [ "${1:-}" = "-j" ]; then
  parallel=$2
  shift 2
fi
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(spam_dat white_dat decode pop3_replies authres)
dir=${MAILGROVE_FUZZ_BUILD:-build-fuzz-ci}

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DMAILGROVE_FUZZ=ON -DMAILGROVE_TESTS=OFF -DMAILGROVE_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)"

# Longest input per target: spam.dat inputs go past the loader's 4096-byte
# buffer so that lines straddle its refills.
max_len() {
  case $1 in
    spam_dat) echo 12000 ;;
    pop3_replies) echo 8192 ;;
    *) echo 4096 ;;
  esac
}

run() {
  local t=$1 work="$dir/fuzz-runs/$1"
  mkdir -p "$work/corpus"
  cp fuzz/corpus/"$t"/* "$work/corpus/"
  local status=0
  (cd "$work" && ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
     "$OLDPWD/$dir/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
     -max_len="$(max_len "$t")" -print_final_stats=1 corpus >log 2>&1) || status=$?
  if [ $status -ne 0 ]; then
    echo "== fuzz_$t: FINDING (exit $status), see $work"
    tail -n 40 "$work/log"
    return 1
  fi
  echo "== fuzz_$t: $(grep -E '^stat::number_of_executed_units' "$work/log" | awk '{print $2}') runs in" \
       "${seconds}s, corpus $(ls "$work/corpus" | wc -l) inputs, no finding"
}

failed=0
pids=()
for t in "${targets[@]}"; do
  [ -x "$dir/fuzz/fuzz_$t" ] || { echo "no such fuzz target: $t"; exit 2; }
  run "$t" &
  pids+=($!)
  if [ ${#pids[@]} -ge "$parallel" ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
done
for p in "${pids[@]}"; do wait "$p" || failed=1; done
exit $failed
