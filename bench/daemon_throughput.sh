#!/usr/bin/env bash
# Whole-daemon throughput and memory on a synthesized stream: the real
# binary reads a stored stream from tmpfs and writes its dumps to tmpfs,
# with and without -J. Prints messages/s, records/s, input MB/s and the
# peak resident set size.
#
#   bash bench/daemon_throughput.sh [messages] [records-per-message]
set -euo pipefail
cd "$(dirname "$0")/.."

messages=${1:-20000}
records=${2:-5-40}

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARN_TESTS=OFF >/dev/null
cmake --build build/release >/dev/null

work=$(mktemp -d /dev/shm/quarn_bench.XXXXXX)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT

# The synthesizer reports the whole messages, their records and the bytes.
./build/release/quarn_synth -s 7 -n "$messages" -c 2000 -r "$records" -o "$work/stream" \
  -k "$work/sysctl" -C 2>"$work/counts" || { cat "$work/counts" >&2; exit 1; }
read -r _ messages _ total_records _ bytes < "$work/counts"

for mode in direct xz; do
  out="$work/out-$mode"
  mkdir "$out"
  flag=""
  [ "$mode" = xz ] && flag="-J"
  QUARN_SYSCTL_DIR="$work/sysctl" /usr/bin/time -f "%e %M" -o "$work/time" \
    ./build/release/quarn_dumper $flag -u "$(id -un)" -D "$out" -f "$work/stream" 2>/dev/null
  read -r secs rss_kb < "$work/time"
  files=$(find "$out" -name '*.pcapng*' | wc -l)
  awk -v m="$messages" -v r="$total_records" -v b="$bytes" -v s="$secs" -v k="$rss_kb" \
      -v mode="$mode" -v f="$files" 'BEGIN {
    if (s < 0.01) s = 0.01;
    printf "%-6s %8d msgs %9d records %7.1f MB in %6.2f s: %9.0f msgs/s %10.0f records/s %7.1f MB/s, %6d files, peak RSS %6.1f MB\n",
      mode, m, r, b / 1e6, s, m / s, r / s, b / 1e6 / s, f, k / 1024 }'
  chmod -R u+w "$out"
  rm -rf "$out"
done
