#!/usr/bin/env bash
# Installs what is missing, builds the daemon and converts the bundled
# sample stream into out/sample: the dump files and their "records" index.
# Then shows the index and one dump as tshark decodes it, and the same dump
# through quarn_inspect. Last, one connection of the sample, the one with
# the most dumps among those that changed stack and ended, tells its story (slow start, a loss and
# its recovery, an RTO, an idle application, a small peer window, the end,
# records lost on the way): its dumps joined, tshark with the plugin, its
# decoded records, the summary of what limited it, a timeline for
# Wireshark's tools and a picture (out/story.png).
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

# The longest dump among those with a plain file name (ties: the last name).
pick=$(jq -rs 'map(select(.filename | test("^[A-Za-z0-9_.:-]+$")))
               | max_by([.record_count, .filename]) | .filename' "$out/records")
echo
echo "== its index line and the dump $pick as tshark reads it (checksums verified):"
grep -F "\"filename\":\"$pick\"" "$out/records"
# Outputs go through a file first: a reader cut short by head would fail the
# pipeline under pipefail.
view=$(mktemp)
trap 'rm -f "$view"' EXIT
tshark -r "$out/$pick" -o tcp.check_checksum:TRUE -o ip.check_checksum:TRUE 2>/dev/null > "$view"
head -n 30 "$view"
echo
echo "== the same dump through quarn_inspect: section header options and every block's record fields"
./build/release/quarn_inspect "$out/$pick" > "$view"
head -n 24 "$view"

# The connection to follow: among the plainly named ones whose stack
# changed and whose end was logged, the one with the most dumps (ties: the
# last stem).
stem=$(jq -rs 'map(select(.filename | test("^[A-Za-z0-9_.:-]+$"))
                   | {stem: (.filename | sub("\\.[0-9]+\\.pcapng(\\.xz|\\.zst)?$"; "")),
                      stack, connection_ended})
               | group_by(.stem)
               | map(select((map(.stack) | unique | length > 1) and any(.connection_ended)))
               | map([length, .[0].stem]) | max_by(.) | .[1]' "$out/records")
joined=out/joined.pcapng
echo
echo "== one connection's story: $stem, whose stack changed; its index lines"
grep -F "\"filename\":\"$stem." "$out/records" | jq -c '{filename, reason, record_count, stack, connection_ended}'
echo
echo "== its dumps joined in numeric order into $joined"
find "$out" -maxdepth 1 -name "$stem.*" -printf '%f\n' | sort -V > "$view"
tr '\n' ' ' < "$view"
echo
./build/release/quarn_inspect --join "$out/$stem" -o "$joined"
./build/release/quarn_inspect --check "$joined"

echo
echo "== tshark with contrib/wireshark/quarn.lua on $joined: its event and gap blocks"
tshark -X lua_script:contrib/wireshark/quarn.lua -r "$joined" -Y 'quarn.block != "packet"' \
  -T fields -e frame.number -e _ws.col.Info 2>/dev/null > "$view"
head -n 15 "$view"

story=out/story
rm -rf "$story"
mkdir -p "$story"
echo
echo "== its records decoded (quarn_inspect --csv, some columns of the first rows, every event of interest and gap, the first and last prr event, the stack change)"
./build/release/quarn_inspect --csv "$out/$stem" > "$story/records.csv"
cut -d, -f3-11,17,18,22 "$story/records.csv" > "$view"
head -n 8 "$view"
# The fifth column is the stack's name (empty on a gap row), the seventh
# the event's. A run of prr events shows as its first and last.
awk -F, 'function flush() { if (prr > 1) print "... " prr - 2 " prr events, then"; if (prr > 1) print last_prr; prr = 0 }
         NR == 1 { next }
         $5 != "" && stack != "" && $5 != stack { flush(); print "stack change: " $0; stack = $5; next }
         $7 == "prr" { if (!prr) print; prr++; last_prr = $0 }
         $7 ~ /^(rto|reorder|connend|bad_retran|sb_wake|usersend)$/ || $2 == "gap" { flush(); print }
         $5 != "" { stack = $5 }
         END { flush() }' "$view"

echo
echo "== what limited it, its retransmissions and RTOs (quarn_inspect --summary --json)"
./build/release/quarn_inspect --summary --json "$out/$stem" | jq .

echo
echo "== its timeline for Wireshark's tools, and the cwnd series of the plugin"
./build/release/quarn_inspect --timeline "$out/$stem" -o "$story/timeline.pcapng"
capinfos -c -a -e "$story/timeline.pcapng"
tshark -X lua_script:contrib/wireshark/quarn.lua -r "$story/timeline.pcapng" -q \
  -z 'io,stat,0.5,AVG(quarn.cwnd)quarn.cwnd' 2>/dev/null > "$view"
head -n 20 "$view"

echo
echo "== its picture: out/story.png"
./build/release/quarn_inspect --plot "$out/$stem" -o out/story.png
exit "$status"
