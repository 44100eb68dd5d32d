#!/usr/bin/env bash
# The fleet's claims, checked on the run scripts/fleet-demo.sh shows (three
# hosts, one index rotated and one shipper restarted mid-run):
#   - per host, the engine holds exactly the lines of the host's index
#     files, none lost and none twice;
#   - the record table holds, per dump, as many records as quarn_inspect
#     reads from the dump file, and as many non-gap records as the dump's
#     index line counts;
#   - the record loader loads nothing twice when it dies after the engine
#     took a batch, or half-way through one, and loads nothing on a run
#     with nothing new;
#   - the RTO question's answer equals the one computed from the dumps by
#     quarn_inspect --json; the srtt question counts the records of the
#     tag's dumps; "where are the dumps of X" names the files the index
#     files name; the Distributed tables answer as the local ones.
# It installs what is missing, starts every service itself in a temporary
# directory on local ports, and stops them all at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/fleet-lib.sh
fleet_install >/dev/null
fleet_build
fleet_init
fleet_engine_start

# host-c gets no periodic loader: its dumps are loaded below, through
# loader runs that die on purpose.
FLEET_NO_LOOP=host-c
fleet_run "${FLEET_MESSAGES:-600}"

failures=0
pass() { echo "ok: $*"; }
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
t=$FLEET/check
mkdir -p "$t"

# One line per index line, in a form both sides share: the keys in the
# daemon's order, true/false as 1/0 (the engine keeps 1/0), numbers as jq
# prints them.
cat > "$t/norm.jq" <<'EOF'
[.date, .pbcid, .reason, .faddr, .fport, .laddr, .lport, .filename, .record_count, .stack,
 (.duration | tonumber), (if .connection_ended == true then 1 elif .connection_ended == false then 0 else .connection_ended end),
 .tag, .compressor, .frag_seq] | @json
EOF

echo "== index lines: the engine against the index files"
for h in "${FLEET_HOSTS[@]}"; do
    fleet_index_lines "$h" | jq -r -f "$t/norm.jq" | sort > "$t/$h.index.local"
    fleet_ch --query "SELECT * FROM quarn.dump_index WHERE host = '$h' FORMAT JSONEachRow" |
        jq -r -f "$t/norm.jq" | sort > "$t/$h.index.engine"
    files=$(ls "$FLEET/$h/dumps" | grep -c '^records')
    if cmp -s "$t/$h.index.local" "$t/$h.index.engine"; then
        pass "$h: $(wc -l < "$t/$h.index.local") lines in $files index file(s), the same lines in the engine"
    else
        fail "$h: index files and engine differ (< files, > engine):"
        diff "$t/$h.index.local" "$t/$h.index.engine" >"$t/diff" || true
        head -n 10 "$t/diff"
    fi
done

echo "== the record loader, dying around its INSERT (host-c)"
# Stands in for a client that dies: "after" once the engine took the
# batch, "half" after sending the first half of the batch's rows.
cat > "$t/client.sh" <<EOF
#!/bin/sh
mode=\$1
shift
real="clickhouse-client --host 127.0.0.1 --port $FLEET_TCP"
case "\$*" in *"--query INSERT"*) ;; *) exec \$real "\$@" ;; esac
case \$mode in
after) \$real "\$@" ;;
half) cat > "$t/batch.csv"; head -n \$((\$(wc -l < "$t/batch.csv") / 2)) "$t/batch.csv" | \$real "\$@" ;;
esac
exit 75
EOF
state=$FLEET/host-c/state
batch_rows() {
    fleet_ch --query "SELECT count() FROM quarn.dump_records WHERE host = 'host-c' AND batch = $1"
}
if FLEET_CLIENT="sh $t/client.sh after" fleet_loader host-c -n 40 2> "$t/run1.err"; then
    fail "the loader reported success although its client died"
fi
read -r b1 rows1 < "$state/pending"
[ "$(batch_rows "$b1")" -eq "$rows1" ] && [ ! -s "$state/loaded" ] &&
    pass "died after the INSERT: batch $b1 ($rows1 rows) in the engine, still pending, nothing marked loaded" ||
    fail "died after the INSERT: batch $b1 holds $(batch_rows "$b1") of $rows1 rows; $(wc -l < "$state/loaded") marked loaded"
if FLEET_CLIENT="sh $t/client.sh half" fleet_loader host-c -n 40 2> "$t/run2.err"; then
    fail "the loader reported success although its client died"
fi
read -r b2 rows2 < "$state/pending"
have2=$(batch_rows "$b2")
[ "$b2" -ne "$b1" ] && [ "$have2" -gt 0 ] && [ "$have2" -lt "$rows2" ] && [ "$(wc -l < "$state/loaded")" -eq 40 ] &&
    pass "next run: batch $b1 found whole and marked loaded (40 dumps); batch $b2 died half-way ($have2 of $rows2 rows)" ||
    fail "next run: batch $b2 holds $have2 of $rows2 rows; $(wc -l < "$state/loaded") dumps marked loaded"
fleet_loader host-c 2> "$t/run3.err" || fail "the loader failed: $(cat "$t/run3.err")"
grep -q "batch $b2 holds $have2 of $rows2 rows; deleting them" "$t/run3.err" && [ ! -e "$state/pending" ] &&
    [ "$(batch_rows "$b2")" -eq 0 ] &&
    pass "third run: the half batch deleted, everything else loaded: $(tail -n 1 "$t/run3.err")" ||
    fail "third run: $(cat "$t/run3.err")"
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
    fleet_ch --query "SELECT stem, part, count(), countIf(block != 'gap') FROM quarn.dump_records
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
fleet_ch --query "$(fleet_q_rto "") FORMAT TabSeparatedRaw" > "$t/rto.engine"
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
fleet_ch --query "$(fleet_q_srtt "" "$tag") FORMAT TabSeparatedRaw" | cut -f 1,2 > "$t/srtt.engine"
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
fleet_ch --query "$(fleet_q_where "" "$x") FORMAT TabSeparatedRaw" | cut -f 1,2 | sort > "$t/where.engine"
[ -s "$t/where.index" ] && cmp -s "$t/where.index" "$t/where.engine" &&
    pass "the dumps of \"$x\": $(wc -l < "$t/where.engine") files on $(cut -f 1 "$t/where.engine" | sort -u | wc -l) host(s), as the index files name them" ||
    fail "the dumps of \"$x\": $(wc -l < "$t/where.engine") in the engine, $(wc -l < "$t/where.index") in the index files"

echo "== Distributed tables over the cluster quarn_fleet"
fleet_ch --multiquery --query "
    CREATE TABLE quarn.dump_index_all AS quarn.dump_index
        ENGINE = Distributed(quarn_fleet, quarn, dump_index, cityHash64(host));
    CREATE TABLE quarn.dump_records_all AS quarn.dump_records
        ENGINE = Distributed(quarn_fleet, quarn, dump_records, cityHash64(host))"
for q in "fleet_q_rto" "fleet_q_srtt $tag" "fleet_q_where $x"; do
    set -- $q
    local_answer=$(fleet_ch --query "$("$1" "" "${2:-}")")
    all_answer=$(fleet_ch --query "$("$1" _all "${2:-}")")
    [ -n "$local_answer" ] && [ "$local_answer" = "$all_answer" ] &&
        pass "$1: the same answer through the _all tables" || fail "$1: _all tables answer differently"
done

if [ "$failures" -ne 0 ]; then
    echo "fleet-test: $failures check(s) failed"
    exit 1
fi
echo "fleet-test: all checks passed"
