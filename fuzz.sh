#!/usr/bin/env bash
# Builds the libFuzzer harnesses of tests/fuzz/ with clang, AddressSanitizer
# and UndefinedBehaviorSanitizer (in build-fuzz/) and runs each for SECONDS
# (default 60), starting from the seed corpus in tests/fuzz/corpus/<harness>/.
# What a run adds to the corpus stays in build-fuzz/corpus/; a finding is
# written to build-fuzz/artifacts/<harness>/ and fails the run.
#
#   ./fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")"
. ./tools.sh
zeva_install_missing

seconds=${1:-60}
jobs=$(nproc 2>/dev/null || echo 2)
harnesses="fuzz_decode fuzz_framing fuzz_requests fuzz_sim fuzz_http_request"

echo "== Fuzzing build (clang, ASan + UBSan + libFuzzer)"
CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DZEVA_FUZZ=ON >/dev/null
# shellcheck disable=SC2086
cmake --build build-fuzz -j"$jobs" --target $harnesses

failed=0
failed_count=0
summary=()
for h in $harnesses; do
  corpus=build-fuzz/corpus/$h
  artifacts=build-fuzz/artifacts/$h
  log=build-fuzz/$h.log
  mkdir -p "$corpus" "$artifacts"
  echo "== $h: ${seconds} s"
  if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "build-fuzz/tests/fuzz/$h" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "tests/fuzz/corpus/$h" >"$log" 2>&1; then
    status=ok
  else
    status=FAILED
    failed=1
    failed_count=$((failed_count + 1))
    tail -n 40 "$log"
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  corp=$(grep -o 'corp: [0-9]*/[0-9]*[a-zA-Z]*' "$log" | tail -n 1 | cut -d' ' -f2)
  line=$(printf '%-14s %-6s %12s executions  cov %-5s ft %-6s corpus %s' "$h" "$status" "${runs:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}")
  echo "$line"
  summary+=("$line")
done

echo "== Fuzzing summary (${seconds} s each; logs in build-fuzz/<harness>.log)"
printf '%s\n' "${summary[@]}"
total=$(echo $harnesses | wc -w)
echo "fuzzing: $((total - failed_count)) passed, ${failed_count} failed"
if [ "$failed" -ne 0 ]; then
  echo "A harness found a failing input: see build-fuzz/artifacts/." >&2
  exit 1
fi
