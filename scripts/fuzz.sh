#!/usr/bin/env bash
# Builds every fuzz target (fuzz/fuzz_*.cpp) with clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs each for a
# bounded time on a scratch copy of its committed seed corpus. Fails when
# any target finds anything: the input that shows it is kept in
# build/fuzz/findings/<target>/; copy it into fuzz/regress/<target>/ so the
# normal test build replays it from then on.
#
#   QUARN_FUZZ_SECONDS   time per target (default 60)
#   QUARN_FUZZ_TARGETS   space-separated subset (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${QUARN_FUZZ_SECONDS:-60}
build=build/fuzz
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

CXX=clang++ cmake -S . -B "$build" -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUARN_FUZZ=ON -DQUARN_TESTS=OFF -DQUARN_SANITIZE=address,undefined >/dev/null

targets=${QUARN_FUZZ_TARGETS:-}
if [ -z "$targets" ]; then
  for src in fuzz/fuzz_*.cpp; do targets+=" $(basename "$src" .cpp)"; done
fi
# shellcheck disable=SC2086
cmake --build "$build" -j "$(nproc)" --target $targets

scratch=$(mktemp -d "${TMPDIR:-/tmp}/quarn_fuzz_run.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

failed=()
for t in $targets; do
  corpus="$scratch/corpus/$t"
  findings="$build/findings/$t"
  mkdir -p "$corpus" "$findings" "$scratch/tmp/$t"
  if [ -d "fuzz/corpus/$t" ]; then cp fuzz/corpus/"$t"/* "$corpus"/ 2>/dev/null || true; fi
  if [ -d "fuzz/regress/$t" ]; then cp fuzz/regress/"$t"/* "$corpus"/ 2>/dev/null || true; fi
  log="$build/$t.log"
  echo "fuzz: $t for ${seconds}s ($(ls "$corpus" | wc -l) seeds)"
  # The targets' scratch directories live under $scratch and go with it.
  if TMPDIR="$scratch/tmp/$t" \
     ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
     UBSAN_OPTIONS=print_stacktrace=1 \
     "$build/fuzz/$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 \
       -max_len=8192 -print_final_stats=1 -artifact_prefix="$findings/" \
       "$corpus" >"$log" 2>&1; then
    # Both may be absent from a log; neither may end the run.
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    cov=$(sed -n 's/.*\(cov: [0-9]*\).*/\1/p' "$log" | tail -n 1)
    echo "fuzz: $t clean: ${runs:-?} inputs, $cov"
  else
    echo "fuzz: $t FOUND SOMETHING (log: $log, inputs: $findings/)"
    grep -m 5 -E 'FINDING|ERROR: |runtime error|SUMMARY' "$log" || true
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in: ${failed[*]}"
  exit 1
fi
