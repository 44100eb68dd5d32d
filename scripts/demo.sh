#!/usr/bin/env bash
# Installs what is missing, builds the daemon and converts the bundled
# sample stream into out/sample: the dump files and their "records" index.
# Then shows the index and one dump as tshark decodes it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARN_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)"

out=out/sample
rm -rf "$out"
mkdir -p "$out"

echo "== converting data/sample.tcplog into $out"
# The sample's stack registry and log version stand in for the kernel's.
status=0
QUARN_SYSCTL_DIR=data/sysctl ./build/release/quarn_dumper \
  -u "$(id -un)" -D "$out" -f data/sample.tcplog || status=$?
echo "quarn_dumper ended with status $status"

files=$(find "$out" -name '*.pcapng*' -printf . | wc -c)
lines=$(wc -l < "$out/records")
echo
echo "== $files dump files, $lines index lines; the first five lines of $out/records:"
head -n 5 "$out/records"

# The longest dump among those with a plain file name.
pick=$(jq -r 'select(.filename | test("^[A-Za-z0-9_.:-]+$")) | "\(.record_count) \(.filename)"' \
  "$out/records" | sort -rn | head -n 1 | cut -d' ' -f2)
echo
echo "== its index line and the dump $pick as tshark reads it (checksums verified):"
grep -F "\"filename\":\"$pick\"" "$out/records"
tshark -r "$out/$pick" -o tcp.check_checksum:TRUE -o ip.check_checksum:TRUE 2>/dev/null | head -n 30
exit "$status"
