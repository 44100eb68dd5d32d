#!/usr/bin/env bash
# The fleet's claims, checked on the run scripts/fleet-demo.sh shows (three
# hosts on an engine of two servers; alpha's index rotated under its
# running shipper, beta's rotated while its shipper was stopped, gamma's
# shipper killed with SIGKILL right after the engine took a batch, three
# times):
#   - the hosts lie on both shards, each host's rows on the shard the
#     Distributed tables choose for it;
#   - the rotation while beta's shipper was stopped did leave lines out of
#     the engine, and catch-up-index.sh sends exactly those (a second run
#     sends none);
#   - per host, the engine holds exactly the lines of the host's index
#     files, none lost and none twice; so it does after a batch of lines is
#     delivered once more, and the three questions answer as before;
#   - the record table holds, per dump, as many records as quarn_inspect
#     reads from the dump file, and as many non-gap records as the dump's
#     index line counts;
#   - the record loader loads nothing twice when it dies after the engine
#     took a batch or half-way through one, and loads nothing on a run with
#     nothing new; a dump it cannot read goes to its failed list and the
#     rest of the batch is loaded;
#   - torn index lines (a line cut short, alone or followed by the next line
#     on the same line of the file) reach the engine neither through the
#     shipper nor through the catch-up, hold neither up, and cost the
#     loader no other line;
#   - the RTO question's answer equals the one computed from the dumps by
#     quarn_inspect --json; the srtt question counts the records of the
#     tag's dumps; "where are the dumps of X" names the files the index
#     files name;
#   - every question answers the same through the Distributed tables of
#     either server as the two servers asked one by one, put together.
# It installs what is missing, starts every service itself in a temporary
# directory on local ports, and stops them all at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/fleet-lib.sh
fleet_install >/dev/null
fleet_build
fleet_init
fleet_engine_start

# gamma gets no periodic loader: its dumps are loaded below, through loader
# runs that die on purpose.
FLEET_NO_LOOP=gamma
fleet_run "${FLEET_MESSAGES:-600}"

failures=0 passes=0
pass() {
    echo "ok: $*"
    passes=$((passes + 1))
}
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
t=$FLEET/check
mkdir -p "$t"

echo "== the cluster"
# Which server each host's rows went to, against where the Distributed
# table sends a row of that host (a probe table without MATERIALIZED
# columns, which ClickHouse 18.16 cannot insert through Distributed).
for n in 1 2; do
    fleet_ch_on "$n" --multiquery --query "
        CREATE TABLE quarn.probe (host String) ENGINE = MergeTree ORDER BY host;
        CREATE TABLE quarn.probe_all AS quarn.probe ENGINE = Distributed(quarn_fleet, quarn, probe, cityHash64(host))"
done
printf '%s\n' "${FLEET_HOSTS[@]}" | fleet_ch --insert_distributed_sync=1 --query "INSERT INTO quarn.probe_all FORMAT TabSeparated"
for n in 1 2; do
    routed=$(fleet_ch_on "$n" --query "SELECT arrayStringConcat(groupArray(host), ' ') FROM (SELECT host FROM quarn.probe ORDER BY host)")
    stored=$(fleet_ch_on "$n" --query "SELECT arrayStringConcat(groupArray(host), ' ') FROM
                 (SELECT DISTINCT host FROM (SELECT host FROM quarn.dump_index UNION ALL SELECT host FROM quarn.dump_records) ORDER BY host)")
    mine=$(for h in "${FLEET_HOSTS[@]}"; do [ "$(fleet_shard "$h")" != "$n" ] || printf '%s\n' "$h"; done | paste -sd ' ')
    [ -n "$routed" ] && [ "$routed" = "$stored" ] && [ "$stored" = "$mine" ] &&
        pass "server $n: hosts $stored, as the Distributed table routes them" ||
        fail "server $n: holds rows of \"$stored\", the Distributed table routes \"$routed\" there, the hosts wrote \"$mine\" there"
done

# One line per index line, in a form both sides share: the keys in the
# daemon's order, true/false as 1/0 (the engine keeps 1/0), numbers as jq
# prints them.
cat > "$t/norm.jq" <<'EOF'
[.date, .pbcid, .reason, .faddr, .fport, .laddr, .lport, .filename, .record_count, .stack,
 (.duration | tonumber), (if .connection_ended == true then 1 elif .connection_ended == false then 0 else .connection_ended end),
 .tag, .compressor, .frag_seq] | @json
EOF

# Host $1's index lines in the engine (each dump once) against its index
# files; $2 says after what.
index_matches() {
    local h=$1
    fleet_index_lines "$h" | jq -r -f "$t/norm.jq" | sort > "$t/$h.index.local"
    fleet_ch_host "$h" --query "SELECT * FROM quarn.dump_index FINAL WHERE host = '$h' FORMAT JSONEachRow" |
        jq -r -f "$t/norm.jq" | sort > "$t/$h.index.engine"
    files=$(ls "$FLEET/$h/dumps" | grep -c '^records')
    if cmp -s "$t/$h.index.local" "$t/$h.index.engine"; then
        pass "$h, $2: $(wc -l < "$t/$h.index.local") lines in $files index file(s), each once in the engine ($(fleet_engine_rows "$h") rows stored)"
    else
        fail "$h, $2: index files and engine differ (< files, > engine):"
        diff "$t/$h.index.local" "$t/$h.index.engine" >"$t/diff" || true
        head -n 10 "$t/diff"
    fi
}

echo "== index lines: a rotation while the shipper was stopped, and the catch-up"
for h in "${FLEET_HOSTS[@]}"; do
    lacks=$(fleet_engine_lacks "$h")
    echo "$h: the engine lacks $lacks line(s) of the rotated index files before the catch-up"
    [ "$h" != beta ] || [ "$lacks" -gt 0 ] ||
        fail "beta: no line lost by the rotation while its shipper was stopped: the catch-up is not put to the test"
    [ "$h" = beta ] || [ "$lacks" -eq 0 ] || fail "$h: its shipper lost $lacks lines of a rotated file it was reading"
    fleet_catch_up "$h" 2> "$t/catch-up.err" || fail "$h: catch-up-index.sh failed: $(cat "$t/catch-up.err")"
    grep -qx "catch-up-index.sh: $lacks lines sent" "$t/catch-up.err" &&
        pass "$h: the catch-up sent the $lacks missing line(s)" || fail "$h: the catch-up: $(cat "$t/catch-up.err")"
    fleet_catch_up "$h" 2> "$t/catch-up.err" || fail "$h: catch-up-index.sh failed: $(cat "$t/catch-up.err")"
    grep -qx "catch-up-index.sh: 0 lines sent" "$t/catch-up.err" &&
        pass "$h: a second catch-up sends nothing" || fail "$h: a second catch-up: $(cat "$t/catch-up.err")"
    index_matches "$h" "after the run's faults and the catch-up"
done

echo "== the record loader, dying around its INSERT (gamma)"
# Stands in for a client that dies: "after" once the engine took the
# batch, "half" after sending the first half of the batch's rows, "early"
# after sending its first 100 rows, before the loader has seen them all
# (as when the loader's processes die half-way through a batch).
cat > "$t/client.sh" <<EOF
#!/bin/sh
mode=\$1
shift
real="$(fleet_client_of gamma)"
case "\$*" in *"--query INSERT INTO quarn.dump_records "*) ;; *) exec \$real "\$@" ;; esac
case \$mode in
after) \$real "\$@" ;;
half) cat > "$t/batch.csv"; head -n \$((\$(wc -l < "$t/batch.csv") / 2)) "$t/batch.csv" | \$real "\$@" ;;
early) head -n 100 | \$real "\$@" ;;
esac
exit 75
EOF
state=$FLEET/gamma/state
batch_rows() {
    fleet_ch_host gamma --query "SELECT count() FROM quarn.dump_records WHERE host = 'gamma' AND batch = $1"
}
# The pending batch and the row count written down for it.
pending() { read -r pb pr < "$state/pending"; }
if FLEET_CLIENT="sh $t/client.sh after" fleet_loader gamma -n 40 2> "$t/run1.err"; then
    fail "the loader reported success although its client died"
fi
pending
b1=$pb rows1=$pr
[ "$(batch_rows "$b1")" -eq "$rows1" ] && [ ! -s "$state/loaded" ] &&
    pass "died after the INSERT: batch $b1 ($rows1 rows) in the engine, still pending, nothing marked loaded" ||
    fail "died after the INSERT: batch $b1 holds $(batch_rows "$b1") of $rows1 rows; $(wc -l < "$state/loaded") marked loaded"
if FLEET_CLIENT="sh $t/client.sh half" fleet_loader gamma -n 40 2> "$t/run2.err"; then
    fail "the loader reported success although its client died"
fi
pending
b2=$pb rows2=$pr have2=$(batch_rows "$pb")
[ "$b2" -ne "$b1" ] && [ "$have2" -gt 0 ] && [ "$have2" -lt "$rows2" ] && [ "$(wc -l < "$state/loaded")" -eq 40 ] &&
    pass "next run: batch $b1 found whole and marked loaded (40 dumps); batch $b2 died half-way ($have2 of $rows2 rows)" ||
    fail "next run: batch $b2 holds $have2 of $rows2 rows; $(wc -l < "$state/loaded") dumps marked loaded"
if FLEET_CLIENT="sh $t/client.sh half" fleet_loader gamma -n 40 2> "$t/run3.err"; then
    fail "the loader reported success although its client died"
fi
pending
b3=$pb rows3=$pr have3=$(batch_rows "$pb")
grep -q "batch $b2 holds $have2 of $rows2 rows; deleting them" "$t/run3.err" && [ "$(batch_rows "$b2")" -eq 0 ] &&
    [ "$b3" -ne "$b2" ] && [ "$have3" -gt 0 ] && [ "$have3" -lt "$rows3" ] &&
    pass "third run: the half batch $b2 deleted; batch $b3 died half-way ($have3 of $rows3 rows)" ||
    fail "third run: $(cat "$t/run3.err")"
if FLEET_CLIENT="sh $t/client.sh early" fleet_loader gamma -n 40 2> "$t/run3b.err"; then
    fail "the loader reported success although its client died"
fi
pending
b4=$pb rows4=$pr have4=$(batch_rows "$pb")
grep -q "batch $b3 holds $have3 of $rows3 rows; deleting them" "$t/run3b.err" && [ "$(batch_rows "$b3")" -eq 0 ] &&
    [ "$b4" -ne "$b3" ] && [ "$rows4" = "?" ] && [ "$have4" -eq 100 ] &&
    pass "next run: the half batch $b3 deleted; batch $b4 died before its rows were counted (pending \"$pb $pr\", $have4 rows in the engine)" ||
    fail "next run: batch $b4 pending \"$pb $pr\" with $have4 rows in the engine; $(cat "$t/run3b.err")"
# One of the remaining dumps made unreadable: cut after its first 100 bytes.
fleet_index_lines gamma | jq -r .filename | grep -E '^[A-Za-z0-9_.:-]+$' | grep -vxF -f <(cut -f 1 "$state/loaded") > "$t/unloaded"
broken=$(sed -n 7p "$t/unloaded")
cp "$FLEET/gamma/dumps/$broken" "$t/broken.keep"
head -c 100 "$t/broken.keep" > "$FLEET/gamma/dumps/$broken"
fleet_loader gamma 2> "$t/run4.err" || fail "the loader failed: $(cat "$t/run4.err")"
grep -q "batch $b4 holds $have4 of ? rows; deleting them" "$t/run4.err" && [ ! -e "$state/pending" ] &&
    [ "$(batch_rows "$b4")" -eq 0 ] &&
    pass "fourth run: the uncounted batch $b4 deleted, everything else loaded: $(tail -n 1 "$t/run4.err")" ||
    fail "fourth run: $(cat "$t/run4.err")"
[ "$(cut -f 1 "$state/failed")" = "$broken" ] && ! grep -qxF "$broken" <(cut -f 1 "$state/loaded") &&
    [ "$(fleet_ch_host gamma --query "SELECT count() FROM quarn.dump_records WHERE host = 'gamma' AND stem || '.' || toString(part) || '.pcapng' = '$broken'")" -eq 0 ] &&
    pass "the unreadable dump is listed as failed ($(cut -f 3 "$state/failed")), none of its rows loaded" ||
    fail "the unreadable dump $broken: failed list \"$(cat "$state/failed")\""
# The dump made whole again and its failed line deleted, as the loader's
# comment tells an operator: the next run loads it.
cp "$t/broken.keep" "$FLEET/gamma/dumps/$broken"
: > "$state/failed"
fleet_loader gamma 2> "$t/run5.err" || fail "the loader failed: $(cat "$t/run5.err")"
grep -qxF "$broken" <(cut -f 1 "$state/loaded") && pass "retried, the repaired dump loads: $(tail -n 1 "$t/run5.err")" ||
    fail "the repaired dump: $(cat "$t/run5.err")"
echo "== torn index lines (host torn): the shipper, the catch-up and the loader"
# A daemon killed half-way through a line leaves it torn at the end of
# "records"; after its restart the next line follows on the same line of
# the file. Here four whole lines of gamma's (their connection renamed, so
# that no question about gamma's dumps sees them), around two torn lines
# and a JSON object that is no line of the daemon's:
#   records.0 (rotated): L1, torn+L2, the object, a torn end
#   records:             a torn end; then, with the shipper running,
#                        L3 (run into the torn end), the object, L4.
# The shipper sends L3 and L4, the catch-up L1 and L2, the loader loads the
# dumps of the four; nothing else reaches the engine, nor holds it up.
torn=$FLEET/torn
mkdir -p "$torn/dumps"
fleet_index_lines gamma | jq -c 'select(.filename | test("^[A-Za-z0-9_.:-]+$"))' > "$t/torn.plain"
head -n 4 "$t/torn.plain" > "$t/torn.names"
[ "$(wc -l < "$t/torn.names")" -eq 4 ] || fail "torn lines: gamma has fewer than 4 plainly named dumps"
fleet_index_lines gamma | grep -F -f <(jq -r '"\"filename\":\"\(.filename)\""' "$t/torn.names") |
    sed -E 's/"pbcid":"([^"\\]|\\.)*"/"pbcid":"torn-test"/' > "$t/torn.lines"
while IFS= read -r f; do ln "$FLEET/gamma/dumps/$f" "$torn/dumps/$f"; done < <(jq -r .filename "$t/torn.lines")
L() { sed -n "${1}p" "$t/torn.lines"; }
cut_line() { L "$1" | head -c "$2"; }
object='{"date":"2023-08-25 18:46:31 +0000", "filename":"x.0.pcapng"}'
{ L 1; cut_line 2 100; L 2; echo "$object"; cut_line 1 150; } > "$torn/dumps/records.0"
cut_line 3 60 > "$torn/dumps/records"
FLEET_SHARD[torn]=$(fleet_shard torn)
fleet_shipper_config torn
fleet_shipper_start torn
sleep 2
{ L 3; echo "$object"; L 4; } >> "$torn/dumps/records"
torn_has() { [ "$(fleet_engine_lines torn)" -ge "$1" ]; }
for i in $(seq 300); do torn_has 2 && break; sleep 0.1; done
sleep 1
fleet_stop shipper-torn
fleet_catch_up torn 2> "$t/catch-up.err" || fail "torn: catch-up-index.sh failed: $(cat "$t/catch-up.err")"
jq -r -f "$t/norm.jq" "$t/torn.lines" | sort > "$t/torn.want"
fleet_ch_host torn --query "SELECT * FROM quarn.dump_index FINAL WHERE host = 'torn' FORMAT JSONEachRow" |
    jq -r -f "$t/norm.jq" | sort > "$t/torn.engine"
grep -qx "catch-up-index.sh: 2 lines sent" "$t/catch-up.err" && cmp -s "$t/torn.want" "$t/torn.engine" &&
    [ "$(fleet_engine_rows torn)" -eq 4 ] &&
    pass "torn lines: the engine holds the 4 whole lines, each once, and nothing else (shipper: 2, $(cat "$t/catch-up.err"))" ||
    fail "torn lines: the engine holds $(fleet_engine_rows torn) rows, $(wc -l < "$t/torn.engine") lines, $(comm -12 "$t/torn.want" "$t/torn.engine" | wc -l) of the 4 whole ones; $(cat "$t/catch-up.err")"
# The loader; its client stands in for the engine and keeps what it is sent.
printf '#!/bin/sh\ncase "$*" in *"INSERT INTO quarn.dump_records "*) cat > "%s" ;; *) cat > /dev/null ;; esac\n' "$t/torn.sent.csv" > "$t/torn.client.sh"
CLICKHOUSE_CLIENT="sh $t/torn.client.sh" QUARN_INSPECT=$FLEET_BIN/quarn_inspect \
    sh contrib/fleet/load-records.sh -D "$torn/dumps" -H torn -S "$torn/state" 2> "$t/torn.err" ||
    fail "torn lines: the loader failed: $(cat "$t/torn.err")"
jq -r '"\(.filename)\t\(.date)"' "$t/torn.lines" | sort > "$t/torn.keys"
sent_dumps=$(cut -d , -f 3,4 "$t/torn.sent.csv" | sort -u | wc -l)
sort "$torn/state/loaded" | cmp -s - "$t/torn.keys" && [ "$sent_dumps" -eq 4 ] && [ ! -s "$torn/state/failed" ] &&
    pass "torn lines: the loader loads the dumps of the 4 whole lines ($(tail -n 1 "$t/torn.err"))" ||
    fail "torn lines: $(wc -l < "$torn/state/loaded") dumps marked loaded, rows of $sent_dumps sent, failed: $(cat "$torn/state/failed"); $(cat "$t/torn.err")"

for h in "${FLEET_HOSTS[@]}"; do
    fleet_loader "$h" 2> "$t/again.err" || fail "$h: the loader failed: $(cat "$t/again.err")"
    grep -qx "load-records.sh: 0 rows loaded" "$t/again.err" &&
        pass "$h: a run with nothing new loads nothing" || fail "$h: a run with nothing new: $(cat "$t/again.err")"
done

echo "== records: the engine against quarn_inspect and the index"
# Every record block of every indexed dump, as "<dump number> <block>
# <event_id> <time in seconds>": quarn_inspect --json reads the dumps in
# the order given, one section per dump.
cat > "$t/blocks.jq" <<'EOF'
def secs: if type == "number" then floor
          else split(".")[0] + "Z" | strptime("%Y-%m-%d %H:%M:%SZ") | mktime end;
if .block == "section" then "S"
elif .block == "packet" or .block == "event" then "\(.block) \(.event_id) \(.time | secs)"
elif .block == "gap" then "gap - -"
else empty end
EOF
# Lines whose first tab-separated field is a dump's file name, with that
# field split into the connection's stem and the part number.
dump_stem_part() {
    awk -F '\t' -v OFS='\t' '{ stem = $1; sub(/\.[0-9]+\.pcapng(\.xz|\.zst)?$/, "", stem)
                               part = substr($1, length(stem) + 2); sub(/\..*$/, "", part)
                               $1 = stem OFS part; print }'
}
for h in "${FLEET_HOSTS[@]}"; do
    fleet_index_lines "$h" | jq -r '.filename' > "$t/$h.files"
    dump_stem_part < "$t/$h.files" > "$t/$h.parts"
    (cd "$FLEET/$h/dumps" && tr '\n' '\0' < "$t/$h.files" | xargs -0 "$FLEET_BIN/quarn_inspect" --json) |
        jq -r -f "$t/blocks.jq" |
        awk '$1 == "S" { n++; next } { print n, $0 }' > "$t/$h.blocks"
    sections=$(awk '{ print $1 }' "$t/$h.blocks" | sort -u | wc -l)
    # Per dump: stem, part, records, records without gaps, as the files say...
    awk -v parts="$t/$h.parts" '
        BEGIN { while ((getline f < parts) > 0) name[++k] = f }
        { all[$1]++; if ($2 != "gap") rec[$1]++ }
        END { for (i = 1; i <= k; i++) printf "%s\t%d\t%d\n", name[i], all[i], rec[i] }
        ' "$t/$h.blocks" | sort > "$t/$h.records.local"
    # ...and as the engine says.
    fleet_ch_host "$h" --query "SELECT stem, part, count(), countIf(block != 'gap') FROM quarn.dump_records
                      WHERE host = '$h' GROUP BY stem, part FORMAT TabSeparatedRaw" |
        sort > "$t/$h.records.engine"
    # The index's own count of each dump's records.
    fleet_index_lines "$h" | jq -r '"\(.filename)\t\(.record_count)"' | dump_stem_part |
        sort > "$t/$h.records.index"
    total=$(awk -F '\t' '{ n += $3 } END { print n }' "$t/$h.records.local")
    if [ "$sections" -ne "$(wc -l < "$t/$h.files")" ]; then
        fail "$h: quarn_inspect read $sections sections from $(wc -l < "$t/$h.files") dumps"
    elif cmp -s "$t/$h.records.local" "$t/$h.records.engine"; then
        pass "$h: $total records in $(wc -l < "$t/$h.files") dumps, per dump the same count in the engine"
    else
        fail "$h: per-dump record counts differ (< quarn_inspect, > engine):"
        diff "$t/$h.records.local" "$t/$h.records.engine" >"$t/diff" || true
        head -n 10 "$t/diff"
    fi
    if cmp -s <(cut -f 1,2,4 "$t/$h.records.engine") "$t/$h.records.index"; then
        pass "$h: per dump, the engine's records without gaps equal the index line's record_count"
    else
        fail "$h: records without gaps differ from record_count (< engine, > index):"
        diff <(cut -f 1,2,4 "$t/$h.records.engine") "$t/$h.records.index" >"$t/diff" || true
        head -n 10 "$t/diff"
    fi
done

echo "== connection summaries: the engine against quarn_inspect --summary --csv"
# Per host, quarn_inspect --summary --csv over every connection of the dump
# directory (each stem once), against the engine's rows read with FINAL:
# the same connections, each once, with the same values. The inspector's
# CSV is read by the engine as an external table of the table's own column
# types, so both sides print in one form (a value the summary leaves empty
# loads as 0 or '', as the loader's rows do).
summary_columns=$(fleet_ch --query "SELECT name, type FROM system.columns
                      WHERE database = 'quarn' AND table = 'connection_summary' FORMAT TabSeparated")
for h in "${FLEET_HOSTS[@]}"; do
    ls "$FLEET/$h/dumps" | sed -nE 's/\.[0-9]+\.pcapng(\.xz|\.zst)?$//p' | sort -u | sed 's|^|./|' > "$t/$h.stems"
    (cd "$FLEET/$h/dumps" && tr '\n' '\0' < "$t/$h.stems" | xargs -0 "$FLEET_BIN/quarn_inspect" --summary --csv) \
        > "$t/$h.summary.csv" 2> "$t/$h.summary.err" || fail "$h: quarn_inspect --summary: $(head -n 3 "$t/$h.summary.err")"
    header=$(head -n 1 "$t/$h.summary.csv")
    # "name type" of each column, in the order of the inspector's header
    # (the client splits the list at every comma, so "Decimal(18, 6)" is
    # given as "Decimal64(6)", "Decimal(9, 4)" as "Decimal32(4)").
    structure=$(tr ',' '\n' <<< "$header" |
        awk -F '\t' 'NR == FNR { t = $2; gsub(/Decimal\(18, /, "Decimal64(", t); gsub(/Decimal\(9, /, "Decimal32(", t)
                                  type[$1] = t; next }
                      { printf "%s%s %s", (FNR > 1 ? ", " : ""), $1, type[$1] }' \
            <(echo "$summary_columns") -)
    tail -n +2 "$t/$h.summary.csv" > "$t/$h.summary.rows"
    fleet_ch_host "$h" --external --file="$t/$h.summary.rows" --name=local --format=CSV --structure="$structure" \
        --format_csv_allow_single_quotes=0 \
        --query "SELECT $header FROM local ORDER BY stem FORMAT CSV" > "$t/$h.summary.local"
    fleet_ch_host "$h" --query "SELECT $header FROM quarn.connection_summary FINAL WHERE host = '$h' ORDER BY stem FORMAT CSV" \
        > "$t/$h.summary.engine"
    stored=$(fleet_ch_host "$h" --query "SELECT count() FROM quarn.connection_summary WHERE host = '$h'")
    conns=$(wc -l < "$t/$h.summary.local")
    if [ "$conns" -ne "$(wc -l < "$t/$h.stems")" ]; then
        fail "$h: quarn_inspect summed up $conns of $(wc -l < "$t/$h.stems") connections"
    elif cmp -s "$t/$h.summary.local" "$t/$h.summary.engine"; then
        pass "$h: $conns connections, each once in the engine with quarn_inspect's summary ($stored rows stored, $(awk -F , '$18 > 0' "$t/$h.summary.rows" | wc -l) with an RTO)"
    else
        fail "$h: summaries differ (< quarn_inspect, > engine):"
        diff "$t/$h.summary.local" "$t/$h.summary.engine" > "$t/diff" || true
        head -n 10 "$t/diff"
    fi
done
# The equality above puts the collapsing to the test only for connections
# whose dumps the loader took in more than one batch: each such batch
# wrote the connection's row again, and only the latest holds every record.
split=$(fleet_ch --query "SELECT count() FROM (SELECT host, stem FROM quarn.dump_records_all
                              GROUP BY host, stem HAVING uniqExact(batch) > 1)")
[ "$split" -gt 0 ] && pass "$split connection(s) loaded across batches, each read as one summary row" ||
    fail "no connection's dumps span two batches: the summaries' collapsing is not put to the test"

echo "== the RTO question against the dumps"
# Event 3 is the retransmission timeout; the hour is the one up to the
# latest record of all hosts, to the second, as the question has it.
latest=$(cat "$t"/*.blocks | awk '$4 != "-" && $4 > m { m = $4 } END { print m }')
for i in "${!FLEET_HOSTS[@]}"; do
    h=${FLEET_HOSTS[$i]}
    awk -v latest="$latest" -v parts="$t/$h.parts" -v host="$h" '
        BEGIN { while ((getline f < parts) > 0) { split(f, p, "\t"); stem[++k] = p[1] } }
        $3 == "3" && $4 > latest - 3600 { n++; if (!(stem[$1] in seen)) { seen[stem[$1]] = 1; c++ } }
        END { if (n) printf "%s\t%d\t%d\n", host, c, n }' "$t/$h.blocks"
done > "$t/rto.dumps"
all_rtos=$(awk '$3 == "3"' "$t"/*.blocks | wc -l)
fleet_ch --query "$(fleet_q_rto _all) FORMAT TabSeparatedRaw" > "$t/rto.engine"
if [ ! -s "$t/rto.dumps" ]; then
    fail "no RTO in the last hour of the synthesized streams: the question is not put to the test"
elif cmp -s "$t/rto.dumps" "$t/rto.engine"; then
    pass "hosts, connections and RTOs in the hour up to $(date -u -d "@$latest" '+%F %T') UTC ($all_rtos RTOs in all): $(tr '\t\n' ' ;' < "$t/rto.engine")"
else
    fail "the RTO answers differ (< dumps, > engine):"
    diff "$t/rto.dumps" "$t/rto.engine" >"$t/diff" || true
    head -n 10 "$t/diff"
fi

echo "== the srtt and the where questions"
tag=bulk
fleet_ch --query "$(fleet_q_srtt _all "$tag") FORMAT TabSeparatedRaw" | cut -f 1,2 > "$t/srtt.engine"
for h in "${FLEET_HOSTS[@]}"; do
    fleet_index_lines "$h" |
        jq -r --arg tag "$tag" --arg h "$h" 'select(.tag == $tag) | .record_count' |
        awk -v h="$h" '{ n += $1 } END { if (n) printf "%s\t%d\n", h, n }'
done > "$t/srtt.index"
[ -s "$t/srtt.index" ] && cmp -s "$t/srtt.index" "$t/srtt.engine" &&
    pass "srtt for tag \"$tag\": per host as many records as the index lines of its dumps count ($(tr '\t\n' ' ;' < "$t/srtt.engine"))" ||
    fail "srtt for tag \"$tag\": engine $(tr '\t\n' ' ;' < "$t/srtt.engine"), index $(tr '\t\n' ' ;' < "$t/srtt.index")"
x=$(fleet_busiest_id)
for h in "${FLEET_HOSTS[@]}"; do
    fleet_index_lines "$h" | jq -r --arg x "$x" --arg h "$h" 'select(.pbcid == $x) | "\($h)\t\(.filename)"'
done | sort > "$t/where.index"
fleet_ch --query "$(fleet_q_where _all "$x") FORMAT TabSeparatedRaw" | cut -f 1,2 | sort > "$t/where.engine"
[ -s "$t/where.index" ] && cmp -s "$t/where.index" "$t/where.engine" &&
    pass "the dumps of \"$x\": $(wc -l < "$t/where.engine") files on $(cut -f 1 "$t/where.engine" | sort -u | wc -l) host(s), as the index files name them" ||
    fail "the dumps of \"$x\": $(wc -l < "$t/where.engine") in the engine, $(wc -l < "$t/where.index") in the index files"

echo "== the same batch delivered twice"
# A shipper killed after the engine took a batch and before it wrote its
# position down sends that batch again: here the first 200 lines of alpha's
# old index once more, with the statement and body the shipper sends.
latest=$(fleet_ch --query "SELECT toUInt32(max(ts)) FROM quarn.dump_records_all")
answers() {
    fleet_ch --query "$(fleet_q_rto _all "$latest")"
    fleet_ch --query "$(fleet_q_srtt _all "$tag")"
    fleet_ch --query "$(fleet_q_where _all "$x")"
    fleet_ch --query "SELECT host, count(), sum(record_count) FROM quarn.dump_index_all FINAL GROUP BY host ORDER BY host"
}
answers > "$t/answers.before"
rows_before=$(fleet_engine_rows alpha)
head -n 200 "$FLEET/alpha/dumps/records.0" | sed 's/^{/{"host":"alpha",/' |
    curl -sf --data-binary @- \
        "http://127.0.0.1:${FLEET_HTTP[$(fleet_shard alpha) - 1]}/?query=INSERT%20INTO%20quarn.dump_index%20FORMAT%20JSONEachRow&input_format_skip_unknown_fields=1" &&
    pass "the engine took the 200 lines again" || fail "the engine refused the batch sent again"
echo "alpha: $rows_before rows stored before, $(fleet_engine_rows alpha) after (until a merge collapses them)"
index_matches alpha "after a batch delivered twice"
answers > "$t/answers.after"
cmp -s "$t/answers.before" "$t/answers.after" && pass "the three questions and the dump counts answer as before" || {
    fail "the answers changed (< before, > after):"
    diff "$t/answers.before" "$t/answers.after" | head -n 10
}
# The merge that collapses them, forced: the stored rows are the lines.
fleet_ch_host alpha --query "OPTIMIZE TABLE quarn.dump_index FINAL"
[ "$(fleet_engine_rows alpha)" -eq "$(fleet_local_lines alpha)" ] &&
    pass "after OPTIMIZE ... FINAL alpha's stored rows are its $(fleet_local_lines alpha) index lines" ||
    fail "after OPTIMIZE ... FINAL alpha has $(fleet_engine_rows alpha) rows for $(fleet_local_lines alpha) lines"

echo "== every question: the Distributed tables against the two servers asked one by one"
day=$(fleet_ch --query "SELECT toDate(toDateTime(toUInt32(max(last)))) FROM quarn.connection_summary_all")
for q in "fleet_q_rto $latest" "fleet_q_srtt $tag" "fleet_q_where $x" "fleet_q_worst_rto" "fleet_q_rwnd $day" "index_count" "records_count"; do
    set -- $q
    case $1 in
    index_count) sql_of() { echo "SELECT host, count(), sum(record_count) FROM quarn.dump_index$1 FINAL GROUP BY host ORDER BY host"; } ;;
    records_count) sql_of() { echo "SELECT host, count(), uniqExact(stem, part) FROM quarn.dump_records$1 GROUP BY host ORDER BY host"; } ;;
    fleet_q_rto) sql_of() { fleet_q_rto "$1" "$latest"; } ;;
    fleet_q_srtt) sql_of() { fleet_q_srtt "$1" "$tag"; } ;;
    fleet_q_where) sql_of() { fleet_q_where "$1" "$x"; } ;;
    fleet_q_worst_rto) sql_of() { fleet_q_worst_rto "$1"; } ;;
    fleet_q_rwnd) sql_of() { fleet_q_rwnd "$1" "$day"; } ;;
    esac
    all1=$(fleet_ch_on 1 --query "$(sql_of _all)")
    all2=$(fleet_ch_on 2 --query "$(sql_of _all)")
    each=$( (fleet_ch_on 1 --query "$(sql_of "")"; fleet_ch_on 2 --query "$(sql_of "")") | sort)
    # The worst 10 of the fleet are the worst 10 of the two servers' worst 10.
    [ "$1" != fleet_q_worst_rto ] ||
        each=$(LC_ALL=C sort -t "$(printf '\t')" -k4,4gr -k1,1 -k2,2 <<< "$each" | head -n 10 | sort)
    hosts=$(echo "$all1" | cut -f 1 | sort -u | paste -sd ' ')
    [ -n "$all1" ] && [ "$all1" = "$all2" ] && [ "$(echo "$all1" | sort)" = "$each" ] &&
        pass "$1: the same answer through either server's _all tables as from the two servers one by one (hosts $hosts)" ||
        fail "$1: _all on server 1, _all on server 2 and the servers one by one differ"
done

echo "fleet-test: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
