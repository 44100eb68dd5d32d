#!/bin/sh
# Loads the records of this host's dumps into the fleet's engine: every dump
# named by a line of the index ("records" and its rotated copies records.N,
# records.N.xz/.gz/.bz2/.zst) that was not loaded before goes through
# `quarn_inspect --csv`, and its rows go, with the host, the connection's
# file stem, the dump's part number and a batch number in front, into
# quarn.dump_records in one INSERT per batch.
#
#   load-records.sh -D dump_dir -H host -S state_dir [-n dumps_per_batch]
#
# Run it periodically (cron); a run that finds another one still running
# exits at once. CLICKHOUSE_CLIENT is the client command (default
# "clickhouse-client"; add --host/--port/--user there), QUARN_INSPECT the
# inspector (default "quarn_inspect"). Needs jq and, for rotated index files,
# the decompressor that matches.
#
# Only dumps with an index line are loaded: the daemon writes the line after
# the file is complete, so a dump still being written is never read.
#
# State (state_dir, on the host):
#   loaded       "<filename>\t<date>" of every dump loaded (the index line's
#                own key: a file name used again after the old dump expired
#                has another date)
#   failed       the same for dumps quarn_inspect could not read, with the
#                reason; they are not tried again (delete a line to retry)
#   next_batch   the batch number the next INSERT takes
#   pending      "<batch> <rows>" while an INSERT is under way, with
#                pending.keys, the dumps in it
#
# Nothing is loaded twice, also across a crash at any point: the batch is
# written down (pending) before the INSERT and marked loaded only after the
# engine confirmed it. A run that finds `pending` asks the engine how many
# rows of that batch it holds: all of them, and the batch is marked loaded;
# none, and its dumps are simply taken again; some (an INSERT cut short
# between the parts it makes), and those rows are deleted first
# (ALTER TABLE ... DELETE, then waiting until none is left).
set -eu

usage() {
    echo "usage: load-records.sh -D dump_dir -H host -S state_dir [-n dumps_per_batch]" >&2
    exit 1
}

dir= host= state= per_batch=2000
while getopts D:H:S:n: opt; do
    case $opt in
    D) dir=$OPTARG ;;
    H) host=$OPTARG ;;
    S) state=$OPTARG ;;
    n) per_batch=$OPTARG ;;
    *) usage ;;
    esac
done
shift $((OPTIND - 1))
[ $# -eq 0 ] && [ -n "$dir" ] && [ -n "$host" ] && [ -n "$state" ] || usage
case $host in *[!A-Za-z0-9.-]* | '') echo "load-records.sh: bad host name \"$host\"" >&2; exit 1 ;; esac
case $per_batch in *[!0-9]* | '' | 0) usage ;; esac

client=${CLICKHOUSE_CLIENT:-clickhouse-client}
inspect=${QUARN_INSPECT:-quarn_inspect}
mkdir -p "$state"

# One run at a time: flock(1) on Linux, lockf(1) on FreeBSD.
if [ -z "${QUARN_LOADER_LOCKED:-}" ]; then
    export QUARN_LOADER_LOCKED=1
    if command -v flock >/dev/null 2>&1; then
        exec flock -n "$state/lock" "$0" -D "$dir" -H "$host" -S "$state" -n "$per_batch"
    elif command -v lockf >/dev/null 2>&1; then
        exec lockf -t 0 "$state/lock" "$0" -D "$dir" -H "$host" -S "$state" -n "$per_batch"
    fi
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quarn-load.XXXXXX")
trap 'rm -rf "$work"' EXIT
touch "$state/loaded" "$state/failed"

ch() { $client --format_csv_allow_single_quotes=0 "$@"; }

# Replaces a state file in one step.
put() { cat > "$state/$1.tmp" && mv "$state/$1.tmp" "$state/$1"; }

# Adds the dumps of a batch to `loaded`, then forgets the batch. An append
# cut short leaves `pending`, so the next run appends the keys again (a torn
# line matches no dump).
commit() {
    cat "$state/pending.keys" >> "$state/loaded"
    rm -f "$state/pending" "$state/pending.keys"
}

rows_of_batch() {
    ch --query "SELECT count() FROM quarn.dump_records WHERE host = '$host' AND batch = $1"
}

# A batch that was under way when an earlier run stopped.
if [ -f "$state/pending" ]; then
    read -r batch rows < "$state/pending"
    have=$(rows_of_batch "$batch")
    if [ "$have" -eq "$rows" ]; then
        commit
    else
        if [ "$have" -ne 0 ]; then
            echo "load-records.sh: batch $batch holds $have of $rows rows; deleting them" >&2
            ch --query "ALTER TABLE quarn.dump_records DELETE WHERE host = '$host' AND batch = $batch"
            tries=0
            while [ "$(rows_of_batch "$batch")" -ne 0 ]; do
                tries=$((tries + 1))
                if [ $tries -gt 120 ]; then
                    echo "load-records.sh: rows of batch $batch still there; trying next run" >&2
                    exit 1
                fi
                sleep 1
            done
        fi
        rm -f "$state/pending" "$state/pending.keys"
    fi
fi

# Every index line: "<filename>\t<date>". File names hold no control bytes
# (the daemon makes them '_'), so one line is one dump.
index_lines() {
    for f in "$dir"/records.* "$dir"/records; do
        [ -f "$f" ] || continue
        case $f in
        *.xz) xz -dc "$f" ;;
        *.gz) gzip -dc "$f" ;;
        *.bz2) bzip2 -dc "$f" ;;
        *.zst) zstd -qdc "$f" ;;
        *) cat "$f" ;;
        esac
    done | jq -r '"\(.filename)\t\(.date)"'
}

# The dumps to load: index lines neither loaded nor failed, each once.
index_lines > "$work/index"
awk -F '\t' 'FILENAME != ARGV[3] { done[$1 "\t" $2] = 1; next }
             !(($1 "\t" $2) in done) && !seen[$0]++' \
    "$state/loaded" "$state/failed" "$work/index" > "$work/todo"

batch=$(cat "$state/next_batch" 2>/dev/null || echo 1)
total=0

# Prefixes every CSV row of one dump with host, stem, part and batch (the
# stem quoted for CSV); fails with status 3 when the dump's header is not
# the batch's.
prefix_rows() {
    F=$1 H=$host B=$batch HDR=$header awk '
        BEGIN {
            f = ENVIRON["F"]; part = f
            sub(/\.[0-9]+\.pcapng(\.xz|\.zst)?$/, "", f)
            part = substr(part, length(f) + 2); sub(/\..*$/, "", part)
            gsub(/"/, "\"\"", f)
            p = "\"" ENVIRON["H"] "\",\"" f "\"," part "," ENVIRON["B"] ","
        }
        NR == 1 { if ($0 != ENVIRON["HDR"]) exit 3; next }
        { print p $0 }'
}

while [ -s "$work/todo" ]; do
    head -n "$per_batch" "$work/todo" > "$work/batch.keys"
    tail -n +"$((per_batch + 1))" "$work/todo" > "$work/todo.rest"
    mv "$work/todo.rest" "$work/todo"

    : > "$work/batch.csv"
    : > "$work/batch.done"
    header=
    while IFS="$(printf '\t')" read -r name date; do
        if ! "$inspect" --csv "$dir/$name" > "$work/one.csv" 2> "$work/one.err"; then
            printf '%s\t%s\t%s\n' "$name" "$date" "$(head -n 1 "$work/one.err")" >> "$state/failed"
            echo "load-records.sh: $name: $(head -n 1 "$work/one.err")" >&2
            continue
        fi
        if [ -z "$header" ]; then
            header=$(head -n 1 "$work/one.csv")
            case $header in *[!a-z0-9_,]* | '') echo "load-records.sh: unexpected CSV header \"$header\"" >&2; exit 1 ;; esac
        fi
        if ! prefix_rows "$name" < "$work/one.csv" >> "$work/batch.csv"; then
            echo "load-records.sh: $name: CSV header differs from the batch's" >&2
            exit 1
        fi
        printf '%s\t%s\n' "$name" "$date" >> "$work/batch.done"
    done < "$work/batch.keys"
    [ -s "$work/batch.done" ] || continue

    rows=$(wc -l < "$work/batch.csv" | tr -d ' ')
    echo $((batch + 1)) | put next_batch
    put pending.keys < "$work/batch.done"
    echo "$batch $rows" | put pending
    ch --query "INSERT INTO quarn.dump_records (host,stem,part,batch,$header) FORMAT CSV" \
        < "$work/batch.csv"
    commit
    total=$((total + rows))
    batch=$((batch + 1))
done

# Forget dumps that are gone: a key stays while its index line or its file
# is still there (while "records" is being rotated a line may be missing
# from this run's view of the index for a moment; its file is not).
ls "$dir" > "$work/files"
for f in loaded failed; do
    awk -F '\t' 'FILENAME == ARGV[1] { keep[$1 "\t" $2] = 1; next }
                 FILENAME == ARGV[2] { keep[$1] = 1; next }
                 ($1 "\t" $2) in keep || $1 in keep' \
        "$work/index" "$work/files" "$state/$f" | put "$f"
done
echo "load-records.sh: $total rows loaded" >&2
