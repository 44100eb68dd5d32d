#!/bin/sh
# Sends the index lines that the shipper missed: those of this host's
# rotated index files (records.N, also .xz, .gz, .bz2, .zst) that are not
# in quarn.dump_index.
#
#   catch-up-index.sh -D dump_dir -H host -S state_dir
#
# The shipper follows "records" across a rotation only while it runs: one
# stopped across a rotation starts again on the new "records", and what the
# daemon wrote into the old file after the shipper's last position never
# reaches the engine. Run this from cron (every few minutes, and after
# newsyslog rotates "records"); it asks the engine which lines of the
# rotated files it lacks and sends those, as the shipper would (the line
# with "host" added, INSERT ... FORMAT JSONEachRow). A line that the shipper
# sends as well is stored twice and counted once (quarn.dump_index collapses
# it), so this needs no knowledge of the shipper's position.
#
# CLICKHOUSE_CLIENT is the client command (default "clickhouse-client"; add
# --host/--port/--user there, for the host's shard). Needs jq and the
# decompressors that match the rotated files.
#
# State (state_dir): caught-up, "<cksum> <size> <name>" of every rotated
# file whose every line the engine held at the end of a run; such a file is
# not read again until its content changes (the daemon may still append to
# a file just rotated, newsyslog compresses it).
set -eu

usage() {
    echo "usage: catch-up-index.sh -D dump_dir -H host -S state_dir" >&2
    exit 1
}

dir= host= state=
while getopts D:H:S: opt; do
    case $opt in
    D) dir=$OPTARG ;;
    H) host=$OPTARG ;;
    S) state=$OPTARG ;;
    *) usage ;;
    esac
done
shift $((OPTIND - 1))
[ $# -eq 0 ] && [ -n "$dir" ] && [ -n "$host" ] && [ -n "$state" ] || usage
case $host in *[!A-Za-z0-9.-]* | '') echo "catch-up-index.sh: bad host name \"$host\"" >&2; exit 1 ;; esac

client=${CLICKHOUSE_CLIENT:-clickhouse-client}
mkdir -p "$state"
touch "$state/caught-up"
work=$(mktemp -d "${TMPDIR:-/tmp}/quarn-catch-up.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The rotated files not known to be caught up, with their cksum lines.
: > "$work/files"
: > "$work/sums"
for f in "$dir"/records.*; do
    [ -f "$f" ] || continue
    sum=$(cksum < "$f")
    line="$sum ${f##*/}"
    if ! grep -qxF "$line" "$state/caught-up"; then
        printf '%s\n' "$f" >> "$work/files"
    fi
    printf '%s\n' "$line" >> "$work/sums"
done

# The daemon's index lines of standard input, by the shipper's rule
# (quarn-fleet.conf): of a line, the text from its last '{"date":"' (after
# a write cut short, the daemon's next line follows on the same line),
# kept only when it is a whole line of the daemon's shape. Matched as
# bytes (LC_ALL=C), so a value that is no UTF-8 does not stop a match.
daemon_lines() {
    LC_ALL=C sed 's/^.*{"date":"/{"date":"/' |
        { LC_ALL=C grep -E '^\{"date":"([^"\\]|\\.)*", "pbcid":"([^"\\]|\\.)*", "reason":"([^"\\]|\\.)*", "faddr":"([^"\\]|\\.)*", "fport":[0-9]+, "laddr":"([^"\\]|\\.)*", "lport":[0-9]+, "filename":"([^"\\]|\\.)*", "record_count":[0-9]+, "stack":"([^"\\]|\\.)*", "duration":-?[0-9]+\.[0-9]{6}, "connection_ended":(true|false), "tag":"([^"\\]|\\.)*", "compressor":"([^"\\]|\\.)*", "frag_seq":-?[0-9]+\}$' || [ $? -eq 1 ]; }
}

# Their lines, numbered, and each line's key for the engine as CSV:
# number, file name, date. A torn line (the end of a write cut short) is
# not sent, and of a line cut short followed by the daemon's next line only
# that next line is. Each file's last line ends in a newline (awk adds one
# to a torn end), so no line runs into the next file's first.
while IFS= read -r f; do
    case $f in
    *.xz) xz -dc "$f" ;;
    *.gz) gzip -dc "$f" ;;
    *.bz2) bzip2 -dc "$f" ;;
    *.zst) zstd -qdc "$f" ;;
    *) cat "$f" ;;
    esac | awk 1
done < "$work/files" | daemon_lines > "$work/lines"
jq -R -r '[input_line_number, (fromjson | .filename, .date)] | @csv' "$work/lines" > "$work/keys.csv"

sent=0
if [ -s "$work/keys.csv" ]; then
    # The numbers of the lines whose (filename, date) the engine lacks for
    # this host; the subquery reads only the file names asked about.
    $client --external --file="$work/keys.csv" --name=keys --format=CSV \
        --structure='n UInt64, filename String, date String' \
        --query "SELECT n FROM keys
                 WHERE (filename, date) NOT IN
                     (SELECT filename, date FROM quarn.dump_index
                      WHERE host = '$host' AND filename IN (SELECT filename FROM keys))
                 FORMAT TabSeparated" > "$work/missing"
    if [ -s "$work/missing" ]; then
        awk 'FILENAME == ARGV[1] { want[$1] = 1; next } FNR in want' "$work/missing" "$work/lines" |
            sed "s/^{/{\"host\":\"$host\",/" > "$work/send"
        $client --input_format_skip_unknown_fields=1 \
            --query "INSERT INTO quarn.dump_index FORMAT JSONEachRow" < "$work/send"
        sent=$(wc -l < "$work/send" | tr -d ' ')
    fi
fi

# Every rotated file there is now caught up (its missing lines, if any, just
# went in): remember them all, and forget the files that are gone.
cat "$work/sums" > "$state/caught-up.tmp"
mv "$state/caught-up.tmp" "$state/caught-up"
echo "catch-up-index.sh: $sent lines sent" >&2
