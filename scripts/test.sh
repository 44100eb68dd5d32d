#!/usr/bin/env bash
# Installs what is missing, checks the manual pages and the rc.d script,
# builds with clang's thread-safety analysis, builds with AddressSanitizer
# and UndefinedBehaviorSanitizer and runs every test, then builds with
# ThreadSanitizer and runs the concurrent tests (reader, workers, flow
# control, signals) again, and last runs every fuzz target for about a
# minute each (scripts/fuzz.sh; QUARN_FUZZ_SECONDS changes the time). Every
# build here has the tests on and warnings fatal; a plain configure has
# neither.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

jobs=$(nproc)

# Manual pages: mdoc without a warning. Service script: valid sh.
mandoc -T lint -W warning doc/*.[1-8]
sh -n contrib/freebsd/files/quarn_dumper.in

# The optimised build, tests included (optimisers warn about other things),
# must compile cleanly too; the demo and the benchmarks use it.
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARN_TESTS=ON -DQUARN_BENCH=ON \
  -DQUARN_WERROR=ON >/dev/null
cmake --build build/release -j "$jobs"

# clang's thread-safety analysis over the daemon and the tools: a variable
# or call used without the lock it is marked with fails the build.
cmake -S . -B build/clang-tsa -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DQUARN_TESTS=OFF \
  -DQUARN_WERROR=ON \
  -DCMAKE_CXX_FLAGS="-Wthread-safety" >/dev/null
cmake --build build/clang-tsa -j "$jobs"

cmake -S . -B build/asan -G Ninja -DQUARN_SANITIZE=address,undefined -DQUARN_TESTS=ON -DQUARN_WERROR=ON >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"

cmake -S . -B build/tsan -G Ninja -DQUARN_SANITIZE=thread -DQUARN_TESTS=ON -DQUARN_WERROR=ON >/dev/null
cmake --build build/tsan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1 \
  ctest --test-dir build/tsan --output-on-failure -L concurrent -j "$jobs"

bash scripts/fuzz.sh
