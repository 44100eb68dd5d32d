#!/bin/sh
# Loads the records of this host's dumps into the fleet's engine: every dump
# named by a line of the index ("records" and its rotated copies records.N,
# records.N.xz/.gz/.bz2/.zst) that was not loaded before. A batch of dumps
# goes through `quarn_inspect --csv` (one call, or a few when xargs splits
# the names), whose rows (each led by its dump's file stem and part number)
# go, with the host and the batch number put in front, into
# quarn.dump_records: one INSERT per batch, the inspector, one awk pass and
# clickhouse-client in one pipe, so the batch is decoded while the client
# parses it and the engine takes it; no per-dump or per-row work in the
# shell. With the last batch, `quarn_inspect --summary --csv` sums up every
# connection the run's batches touched, from all of the connection's dumps
# in the directory, into quarn.connection_summary (host and a version in
# front).
#
#   load-records.sh -D dump_dir -H host -S state_dir [-n dumps_per_batch]
#
# Run it periodically (cron); a run that finds another one still running
# exits at once. CLICKHOUSE_CLIENT is the client command (default
# "clickhouse-client"; add --host/--port/--user there, for the host's
# shard), QUARN_INSPECT the inspector (default "quarn_inspect"). Needs jq
# and, for rotated index files, the decompressor that matches. A batch holds
# at most dumps_per_batch dumps (default 10000) and at most 500,000 records
# by the dumps' index lines (one dump more when a single dump has more).
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
#   pending      "<batch> <rows>" while an INSERT is under way ("<batch> ?"
#                until the inspector is through and the rows are counted),
#                with pending.keys, the dumps in it
#   summarize    the file stems of connections whose summary is still to
#                be (re)written: added before a batch's INSERT, emptied
#                after the summaries' INSERT
#   next_version the version the next summaries' INSERT takes
#
# Nothing is loaded twice, also across a crash at any point: the batch is
# written down (pending) before the INSERT and marked loaded only after the
# engine confirmed it. A run that finds `pending` asks the engine how many
# rows of that batch it holds: all of them, and the batch is marked loaded;
# none, and its dumps are simply taken again; some (an INSERT cut short:
# the engine keeps the rows it had when the client went away), or any
# while the count is "?", and those rows are deleted first (ALTER TABLE
# ... DELETE, then waiting until none is left).
#
# A connection's summary row is written again, whole, at the end of every
# run that loaded one of its dumps; quarn.connection_summary keeps the row
# of the highest version. A run that dies before the summaries' INSERT
# leaves their stems in `summarize`, and the next run writes them first. A
# connection that quarn_inspect cannot sum up (one of its dumps unreadable,
# or still being written) is named on standard error and gets its row when
# its next dump is loaded.
#
# A batch in which quarn_inspect cannot read a dump is refused: its INSERT
# ends with a row the engine refuses, so none of its rows is stored (see
# stream), and its dumps are read one by one, the unreadable ones go to
# `failed`, and the others into a later batch.
set -eu

usage() {
    echo "usage: load-records.sh -D dump_dir -H host -S state_dir [-n dumps_per_batch]" >&2
    exit 1
}

dir= host= state= per_batch=10000
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
# The inspector runs in the dump directory.
case $inspect in /*) ;; */*) inspect=$PWD/$inspect ;; esac
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
# The summaries, loaded in the background, end before the directory goes.
trap 'wait; rm -rf "$work"' EXIT
touch "$state/loaded" "$state/failed" "$state/summarize"

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

# Settles a batch that was under way: marks it loaded when the engine holds
# all its rows, else removes what the engine holds of it and forgets it (its
# dumps are still to do). Fails when the rows do not go away in time.
settle() {
    read -r p_batch p_rows < "$state/pending"
    have=$(rows_of_batch "$p_batch")
    # "?": the batch's rows were not all through the loader, so what the
    # engine holds of it is not all of it.
    if [ "$p_rows" != "?" ] && [ "$have" -eq "$p_rows" ]; then
        commit
        return
    fi
    if [ "$have" -ne 0 ]; then
        echo "load-records.sh: batch $p_batch holds $have of $p_rows rows; deleting them" >&2
        ch --query "ALTER TABLE quarn.dump_records DELETE WHERE host = '$host' AND batch = $p_batch"
        tries=0
        while [ "$(rows_of_batch "$p_batch")" -ne 0 ]; do
            tries=$((tries + 1))
            if [ $tries -gt 120 ]; then
                echo "load-records.sh: rows of batch $p_batch still there; trying next run" >&2
                exit 1
            fi
            sleep 1
        done
    fi
    rm -f "$state/pending" "$state/pending.keys"
}

# The summaries of the connections listed in `summarize`, in two steps:
# sum_start takes the next version and, in the background, sums up their
# stems (each once, "./" in front, through xargs: one or more
# `quarn_inspect --summary --csv` calls) and streams the rows into the
# engine behind the host and that version; sum_finish waits for it and
# empties `summarize`. Nothing may be added to `summarize` in between.
# quarn_inspect leaves out, and names on standard error, a connection it
# cannot read whole; the rows of the others are loaded all the same.
summarizer=
sum_start() {
    sort -u "$state/summarize" > "$work/stems"
    [ -s "$work/stems" ] || return 0
    version=$(cat "$state/next_version" 2>/dev/null || echo 1)
    echo $((version + 1)) | put next_version
    rm -f "$work/summary.status" "$work/summary.inserted"
    (
        # Statuses are looked at here, not fatal.
        set +e
        sed 's|^|./|' "$work/stems" | tr '\n' '\0' |
            (cd "$dir" && exec xargs -0 "$inspect" --summary --csv) > "$work/summary.csv" 2> "$work/summary.err"
        echo $? > "$work/summary.status"
        IFS= read -r sheader < "$work/summary.csv" || sheader=
        case $sheader in
        *[!a-z0-9_,]* | '' | *,,* | *,) echo "load-records.sh: unexpected summary CSV header \"$sheader\"" >&2; exit 1 ;;
        stem,*) ;;
        *) echo "load-records.sh: quarn_inspect --summary --csv does not lead with stem: \"$sheader\"" >&2; exit 1 ;;
        esac
        # Every quarn_inspect call that xargs makes prints the header.
        P="\"$host\",$version," H=$sheader awk '$0 != ENVIRON["H"] { print ENVIRON["P"] $0 }' "$work/summary.csv" |
            ch --query "INSERT INTO quarn.connection_summary (host,version,$sheader) FORMAT CSV" &&
            echo done > "$work/summary.inserted"
    ) &
    summarizer=$!
}
sum_finish() {
    [ -n "$summarizer" ] || return 0
    wait "$summarizer" || true
    summarizer=
    [ "$(cat "$work/summary.status" 2>/dev/null)" = 0 ] ||
        sed 's/^/load-records.sh: summary: /' "$work/summary.err" >&2
    [ -f "$work/summary.inserted" ] || { echo "load-records.sh: the summaries were not loaded" >&2; exit 1; }
    : | put summarize
}

# The connections of the dumps in $1 (a keys file) are to be summed up.
# The name of a dump is "<stem>.<part>.pcapng[.xz|.zst]".
to_summarize() {
    cut -f 1 "$1" | sed -E 's/\.[0-9]+\.pcapng(\.xz|\.zst)?$//' >> "$state/summarize"
}

# A batch that was under way when an earlier run stopped, and summaries
# that were not written.
[ ! -f "$state/pending" ] || settle
sum_start
sum_finish

# The daemon's index lines of standard input, by the shipper's rule
# (quarn-fleet.conf): of a line, the text from its last '{"date":"' (after
# a write cut short, the daemon's next line follows on the same line),
# kept only when it is a whole line of the daemon's shape. Matched as
# bytes (LC_ALL=C), so a value that is no UTF-8 does not stop a match.
daemon_lines() {
    LC_ALL=C sed 's/^.*{"date":"/{"date":"/' |
        { LC_ALL=C grep -E '^\{"date":"([^"\\]|\\.)*", "pbcid":"([^"\\]|\\.)*", "reason":"([^"\\]|\\.)*", "faddr":"([^"\\]|\\.)*", "fport":[0-9]+, "laddr":"([^"\\]|\\.)*", "lport":[0-9]+, "filename":"([^"\\]|\\.)*", "record_count":[0-9]+, "stack":"([^"\\]|\\.)*", "duration":-?[0-9]+\.[0-9]{6}, "connection_ended":(true|false), "tag":"([^"\\]|\\.)*", "compressor":"([^"\\]|\\.)*", "frag_seq":-?[0-9]+\}$' || [ $? -eq 1 ]; }
}

# Every index line: "<filename>\t<date>\t<record_count>". File names hold
# no control bytes (the daemon makes them '_'), so one line is one dump. A
# torn line (the end of a write cut short) names no dump; each file's last
# line ends in a newline, so none runs into the next file's first.
index_lines() {
    for f in "$dir"/records.* "$dir"/records; do
        [ -f "$f" ] || continue
        case $f in
        *.xz) xz -dc "$f" ;;
        *.gz) gzip -dc "$f" ;;
        *.bz2) bzip2 -dc "$f" ;;
        *.zst) zstd -qdc "$f" ;;
        *) cat "$f" ;;
        esac | awk 1
    done | daemon_lines | jq -R -r 'fromjson | "\(.filename)\t\(.date)\t\(.record_count)"'
}

# The dumps to load: index lines neither loaded nor failed, each once. A
# name that is not a plain file name of the directory is never the daemon's.
index_lines > "$work/index"
awk -F '\t' 'FILENAME != ARGV[3] { done[$1 "\t" $2] = 1; next }
             !(($1 "\t" $2) in done) && !seen[$1 "\t" $2]++' \
    "$state/loaded" "$state/failed" "$work/index" > "$work/todo.all"
FAILED=$state/failed awk -F '\t' -v OFS='\t' '
    $1 ~ /\// || $1 == "" || $1 == "." || $1 == ".." {
        print $1, $2, "not a file name of the dump directory" >> ENVIRON["FAILED"]; next }
    { print }' "$work/todo.all" > "$work/todo"

batch=$(cat "$state/next_batch" 2>/dev/null || echo 1)
total=0

# Takes the next batch off `todo` into $work/keys.$1: up to per_batch dumps
# and 500,000 records by their index lines, so that the engine stores the
# batch whole or not at all (see stream). Fails when nothing is left.
take() {
    [ -s "$work/todo" ] || return 1
    REST=$work/todo.rest awk -F '\t' -v n="$per_batch" '
        !full && (k == 0 || (k < n && records + $3 <= 500000)) { k++; records += $3; print; next }
        { full = 1; print > ENVIRON["REST"] }' "$work/todo" > "$work/keys.$1"
    if [ -f "$work/todo.rest" ]; then mv "$work/todo.rest" "$work/todo"; else : > "$work/todo"; fi
}

# A row that the engine refuses, and with it every row of the INSERT it has
# not written yet: its time lies before 1970, which `ts` (computed when the
# engine writes the rows) cannot hold ("Decimal convert overflow"). The
# other cells are empty, which the client parses as 0 or ''. $1 is the
# INSERT's column list.
refusal() {
    echo "$1" | awk -F , '{ for (i = 1; i <= NF; i++)
        printf "%s%s", (i > 1 ? "," : ""), ($i == "time" ? "-1" : $i == "block" ? "gap" : ""); print "" }'
}

# Streams batch $1 ($work/keys.$1) into the engine as batch number $batch:
# quarn_inspect --csv over its dumps, one awk pass, clickhouse-client, all
# at once, so the batch is decoded while the client parses it and the
# engine takes it. The names go to the inspector through xargs, each ended
# by a NUL byte and "./" in front (a name may start with '-'); xargs splits
# them into several calls when the command line would be too long.
#
# The inspector's status follows its rows as a last line of the stream
# ("quarn-status N"), so awk, one line behind, knows it once every row is
# through. On 0 it writes the batch's row count into `pending` and ends,
# and the client finishes the INSERT; on anything else it ends the rows
# with a refusal (above), so the engine stores none of them. The engine
# gathers an INSERT's rows up to 1,048,576 rows or 256 MiB
# (min_insert_block_size_rows, _bytes) before it writes any, so a batch
# below that is stored whole or not at all. A batch's 500,000 records come
# to about 250 MB there (some 500 bytes a row), near the limit; of a batch
# past it (long names, many gaps) what was written is found and deleted as
# the rows of an INSERT cut short (settle).
#
# Returns 0 when the engine took the batch; otherwise $work/status holds
# the inspector's status, or nothing when the engine or the client failed.
stream() {
    rm -f "$work/status"
    { cut -f 1 "$work/keys.$1" | sed 's|^|./|' | tr '\n' '\0' |
          (cd "$dir" && exec xargs -0 "$inspect" --csv) 2> "$work/err"
      echo "quarn-status $?"; } | {
        IFS= read -r header || header=
        case $header in
        "quarn-status "*) echo "${header#quarn-status }" > "$work/status"; exit 1 ;;
        *[!a-z0-9_,]* | '' | *,,* | *,) echo "load-records.sh: unexpected CSV header \"$header\"" >&2; exit 1 ;;
        stem,part,*) ;;
        *) echo "load-records.sh: quarn_inspect --csv does not lead with stem and part: \"$header\"" >&2; exit 1 ;;
        esac
        for c in time block; do
            case ,$header, in
            *,$c,*) ;;
            *) echo "load-records.sh: quarn_inspect --csv has no $c column: \"$header\"" >&2; exit 1 ;;
            esac
        done
        P="\"$host\",$batch," B=$batch H=$header PENDING=$state/pending STATUS=$work/status \
        REFUSAL=$(refusal "host,batch,$header") awk '
            # Every quarn_inspect call that xargs makes prints the header.
            $0 == ENVIRON["H"] { next }
            held { print ENVIRON["P"] last; rows++ }
            { last = $0; held = 1 }
            END {
                s = last ~ /^quarn-status [0-9]+$/ ? substr(last, 14) : "cut short"
                print s > ENVIRON["STATUS"]
                close(ENVIRON["STATUS"])
                if (s == "0") {
                    print ENVIRON["B"], rows + 0 > (ENVIRON["PENDING"] ".tmp")
                    close(ENVIRON["PENDING"] ".tmp")
                    if (system("mv -f \"$PENDING.tmp\" \"$PENDING\"") == 0) exit 0
                    print "load-records.sh: cannot write pending" > "/dev/stderr"
                }
                print ENVIRON["REFUSAL"]
                exit 1
            }' |
        # Blocks of 16384 rows: the client sends each as soon as it has
        # parsed it, and the engine gathers them.
        ch --max_insert_block_size=16384 --query "INSERT INTO quarn.dump_records (host,batch,$header) FORMAT CSV" \
            2> "$work/insert.err"
    }
}

# Loads batch $1 as batch number $batch; a batch quarn_inspect cannot read
# is refused and its dumps sorted out.
load() {
    echo $((batch + 1)) | put next_batch
    cut -f 1,2 "$work/keys.$1" | put pending.keys
    # The last batch: its connections are summed up from the files while
    # the engine takes its rows. Dumps that sort_out puts back after that
    # are of connections the summary has in hand already.
    if [ -z "$summarizer" ]; then
        to_summarize "$work/keys.$1"
        [ -s "$work/todo" ] || sum_start
    fi
    # The row count is known once the inspector is through.
    echo "$batch ?" | put pending
    # The inspector's status decides too: an engine that took the refusal
    # row would otherwise have the batch counted as loaded.
    if stream "$1" && [ "$(cat "$work/status" 2>/dev/null)" = 0 ]; then
        read -r _ rows < "$state/pending"
        commit
        total=$((total + rows))
        batch=$((batch + 1))
        return
    fi
    status=$(cat "$work/status" 2>/dev/null) || status=
    case $status in
    '' | 0)
        cat "$work/insert.err" >&2 2>/dev/null || true
        echo "load-records.sh: batch $batch was not loaded; the next run sees to it" >&2
        exit 1 ;;
    esac
    # Refused: what the engine may hold of it goes, then its dumps one by one.
    settle
    batch=$((batch + 1))
    sort_out "$1"
}

# Reads the dumps of the refused batch $1 one by one: the unreadable ones go
# to `failed`, the others back to `todo`.
sort_out() {
    bad=0
    while IFS="$(printf '\t')" read -r name date records; do
        if (cd "$dir" && exec "$inspect" --csv "./$name") > /dev/null 2> "$work/one.err"; then
            printf '%s\t%s\t%s\n' "$name" "$date" "$records" >> "$work/todo"
        else
            printf '%s\t%s\t%s\n' "$name" "$date" "$(head -n 1 "$work/one.err")" >> "$state/failed"
            echo "load-records.sh: $name: $(head -n 1 "$work/one.err")" >&2
            bad=$((bad + 1))
        fi
    done < "$work/keys.$1"
    if [ "$bad" -eq 0 ]; then
        cat "$work/err" >&2
        echo "load-records.sh: quarn_inspect failed on a batch, but on none of its dumps alone" >&2
        exit 1
    fi
}

# One batch after the other, until none is left (sort_out may put dumps
# back).
k=0
while take "$k"; do
    load "$k"
    rm -f "$work/keys.$k"
    k=$((k + 1))
done

# The connections of every batch of this run, each summed up once (begun
# with the last batch).
[ -n "$summarizer" ] || sum_start
sum_finish

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
