# A small fleet on this machine, for scripts/fleet-demo.sh and
# scripts/fleet-test.sh (sourced by both, from the checkout's top directory,
# under `set -euo pipefail`).
#
# Everything lives in one temporary directory and listens on 127.0.0.1
# only: the engine, two clickhouse-server processes (each with its own
# config.xml and data there, on free ports; never the system service) that
# are the two shards of the cluster "quarn_fleet", and per simulated host a
# daemon reading a FIFO, its dump directory, a syslog-ng instance with its
# own configuration, persist file, control socket and PID file, and the
# record loader's and catch-up's state. Each host writes to the shard that
# the Distributed tables choose for it (contrib/fleet/cluster.sql); the
# host names are picked so that both shards hold hosts. fleet_stop_all (run
# from the EXIT trap) stops every process started here, each by its own PID.

FLEET_HOSTS=(alpha beta gamma)
FLEET_PIDS=()   # "name pid", in start order
FLEET_TCP=()    # the servers' native ports, shard 1 first
FLEET_HTTP=()   # their HTTP ports
declare -A FLEET_SHARD=()   # host -> its shard's number (1 or 2)

fleet_log() { printf '== %s\n' "$*"; }

fleet_die() {
    echo "fleet: $*" >&2
    exit 1
}

# The engine's version number, from the client's --version line.
clickhouse_version() {
    local line
    line=$(clickhouse-client --version)
    [[ $line =~ [0-9]+(\.[0-9]+)+ ]] && echo "${BASH_REMATCH[0]}"
}

# Installs what the project needs, then the engine and the shipper.
fleet_install() {
    bash scripts/deps.sh
    local p missing=()
    for p in clickhouse-server clickhouse-client syslog-ng-core syslog-ng-mod-http; do
        [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ] || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

# Builds the three programs in build/release (configured as scripts/demo.sh
# does, unless a configuration is there already). With FLEET_BIN set, the
# programs built there are used as they are.
fleet_build() {
    [ -z "${FLEET_BIN:-}" ] || return 0
    if [ ! -f build/release/CMakeCache.txt ]; then
        cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARN_TESTS=OFF >/dev/null
    fi
    cmake --build build/release -j "$(nproc)" --target quarn_dumper quarn_inspect quarn_synth >/dev/null
    FLEET_BIN=$PWD/build/release
}

fleet_init() {
    FLEET=$(mktemp -d /tmp/quarn-fleet.XXXXXX)
    set -E
    trap 'echo "fleet: failed: ${BASH_SOURCE[0]}:$LINENO: $BASH_COMMAND" >&2' ERR
    trap fleet_stop_all EXIT
}

fleet_track() { FLEET_PIDS+=("$1 $2"); }

FLEET_FDS=()    # the write ends of the daemons' FIFOs this shell holds

# Starts a tracked background process, its output appended to the file $2.
# It must not inherit a FIFO's write end: a daemon sees the end of its
# stream only once every writer has closed it.
fleet_spawn() {
    local name=$1 out=$2
    shift 2
    (
        for fd in "${FLEET_FDS[@]}"; do exec {fd}>&-; done
        exec "$@" >> "$out" 2>&1
    ) &
    fleet_track "$name" $!
}

# The PID of a tracked process.
fleet_pid_of() {
    local entry
    for entry in "${FLEET_PIDS[@]}"; do
        [ "${entry% *}" = "$1" ] && { echo "${entry#* }"; return; }
    done
    fleet_die "no process $1"
}

# Waits for a tracked process to end and forgets it; returns its status.
fleet_reap() {
    local name=$1 i entry status=0
    for i in "${!FLEET_PIDS[@]}"; do
        entry=${FLEET_PIDS[$i]}
        [ "${entry% *}" = "$name" ] || continue
        { wait "${entry#* }"; } 2>/dev/null || status=$?
        unset 'FLEET_PIDS[i]'
    done
    return "$status"
}

# Stops a tracked process: SIGTERM, then waits for it.
fleet_stop() {
    kill -TERM "$(fleet_pid_of "$1")" 2>/dev/null || true
    fleet_reap "$1" || true
}

fleet_stop_all() {
    local status=$? i entry
    # Loaders first, each after its current run (the engine is still up);
    # then the rest, last started first.
    touch "$FLEET/stop-loaders" 2>/dev/null || true
    for i in "${!FLEET_PIDS[@]}"; do
        entry=${FLEET_PIDS[$i]}
        case $entry in loader-*) fleet_reap "${entry% *}" || true ;; esac
    done
    for i in $(printf '%s\n' "${!FLEET_PIDS[@]}" | sort -rn); do
        entry=${FLEET_PIDS[$i]}
        fleet_stop "${entry% *}"
    done
    if [ "$status" -ne 0 ]; then
        echo "fleet: failed; the engine's and the shippers' logs:" >&2
        tail -n 20 "$FLEET"/engine-*/log/err.log "$FLEET"/*/shipper/log "$FLEET"/*/loader.log \
            "$FLEET"/*/daemon.err 2>/dev/null >&2 || true
    fi
    if [ -n "${FLEET_KEEP:-}" ]; then
        echo "fleet: kept $FLEET" >&2
    else
        rm -rf "$FLEET"
    fi
}

# Waits until a command succeeds, polling; fails after $1 seconds.
fleet_wait() {
    local limit=$1 what=$2 start=$SECONDS
    shift 2
    until "$@"; do
        [ $((SECONDS - start)) -lt "$limit" ] || fleet_die "timed out after ${limit}s waiting for $what"
        sleep 0.1
    done
}

# $1 free TCP ports on 127.0.0.1, on one line.
fleet_free_ports() {
    python3 -c '
import socket, sys
s = [socket.socket() for _ in range(int(sys.argv[1]))]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])' "$1"
}

# The client for server $1 (1 or 2); fleet_ch asks server 1, which answers
# for the whole cluster through the _all tables.
fleet_ch_on() {
    local n=$1
    shift
    clickhouse-client --host 127.0.0.1 --port "${FLEET_TCP[n - 1]}" "$@"
}
fleet_ch() { fleet_ch_on 1 "$@"; }

# The shard of host $1: the one the Distributed tables' sharding key
# cityHash64(host) picks among two shards of weight 1. fleet_shards_known
# asks the engine once for every host of FLEET_HOSTS.
fleet_shard() {
    if [ -n "${FLEET_SHARD[$1]:-}" ]; then
        echo "${FLEET_SHARD[$1]}"
    else
        fleet_ch_on 1 --query "SELECT cityHash64('$1') % 2 + 1"
    fi
}
fleet_shards_known() {
    local h
    for h in "${FLEET_HOSTS[@]}"; do FLEET_SHARD[$h]=$(fleet_shard "$h"); done
}

# The client command line for host $1's shard.
fleet_client_of() { echo "clickhouse-client --host 127.0.0.1 --port ${FLEET_TCP[$(fleet_shard "$1") - 1]}"; }

# Asks host $1's shard.
fleet_ch_host() {
    local h=$1
    shift
    fleet_ch_on "$(fleet_shard "$h")" "$@"
}

# Server number $1 of the cluster, started.
fleet_engine_start_one() {
    local n=$1 e=$FLEET/engine-$1 shards= i
    mkdir -p "$e/log" "$e/data" "$e/tmp" "$e/user_files"
    for i in "${!FLEET_TCP[@]}"; do
        shards+="<shard><replica><host>127.0.0.1</host><port>${FLEET_TCP[i]}</port></replica></shard>"
    done
    cat > "$e/config.xml" <<EOF
<?xml version="1.0"?>
<yandex>
    <logger>
        <level>warning</level>
        <log>$e/log/server.log</log>
        <errorlog>$e/log/err.log</errorlog>
        <size>10M</size>
        <count>1</count>
    </logger>
    <listen_host>127.0.0.1</listen_host>
    <http_port>${FLEET_HTTP[n - 1]}</http_port>
    <tcp_port>${FLEET_TCP[n - 1]}</tcp_port>
    <path>$e/data/</path>
    <tmp_path>$e/tmp/</tmp_path>
    <user_files_path>$e/user_files/</user_files_path>
    <users_config>$e/users.xml</users_config>
    <default_profile>default</default_profile>
    <default_database>default</default_database>
    <timezone>UTC</timezone>
    <mark_cache_size>134217728</mark_cache_size>
    <uncompressed_cache_size>134217728</uncompressed_cache_size>
    <max_concurrent_queries>50</max_concurrent_queries>
    <remote_servers>
        <quarn_fleet>$shards</quarn_fleet>
    </remote_servers>
</yandex>
EOF
    cat > "$e/users.xml" <<'EOF'
<?xml version="1.0"?>
<yandex>
    <profiles>
        <default>
            <max_memory_usage>2000000000</max_memory_usage>
        </default>
    </profiles>
    <users>
        <default>
            <password></password>
            <networks><ip>127.0.0.1</ip></networks>
            <profile>default</profile>
            <quota>default</quota>
        </default>
    </users>
    <quotas><default></default></quotas>
</yandex>
EOF
    fleet_spawn "engine-$n" "$e/log/stdout" /usr/sbin/clickhouse-server --config-file="$e/config.xml"
}

# The engine: two servers on free ports, each a shard of the cluster
# "quarn_fleet" with the tables of schema.sql and the Distributed tables of
# cluster.sql.
fleet_engine_start() {
    local ports n
    read -r -a ports < <(fleet_free_ports 4)
    FLEET_HTTP=("${ports[0]}" "${ports[1]}")
    FLEET_TCP=("${ports[2]}" "${ports[3]}")
    for n in 1 2; do fleet_engine_start_one "$n"; done
    for n in 1 2; do
        fleet_wait 60 "server $n to answer" curl -sf -o /dev/null "http://127.0.0.1:${FLEET_HTTP[n - 1]}/ping"
        fleet_ch_on "$n" --multiquery < contrib/fleet/schema.sql
        fleet_ch_on "$n" --multiquery < contrib/fleet/cluster.sql
    done
    fleet_shards_known
}

# Writes host $1's shipper configuration: the defines and the shared part.
fleet_shipper_config() {
    local h=$1 s=$FLEET/$1/shipper
    mkdir -p "$s"
    cat > "$s/syslog-ng.conf" <<EOF
@version: 3.38
@define quarn_dir "$FLEET/$h/dumps"
@define quarn_host "$h"
@define quarn_engine "http://127.0.0.1:${FLEET_HTTP[$(fleet_shard "$h") - 1]}"
@include "$PWD/contrib/fleet/quarn-fleet.conf"
EOF
}

fleet_shipper_start() {
    local s=$FLEET/$1/shipper
    fleet_spawn "shipper-$1" "$s/log" syslog-ng --foreground --no-caps --stderr \
        --cfgfile="$s/syslog-ng.conf" --persist-file="$s/persist" --control="$s/ctl" --pidfile="$s/pid"
}

# Host $1: dump directory, FIFO, daemon; returns once the daemon holds its
# PID file. The caller opens the FIFO for writing (read-write, which does
# not wait for the reader) and keeps it open until the stream's end.
fleet_daemon_start() {
    local d=$FLEET/$1
    mkdir -p "$d/dumps" "$d/state"
    mkfifo "$d/fifo"
    fleet_spawn "daemon-$1" "$d/daemon.err" env QUARN_SYSCTL_DIR=data/sysctl \
        "$FLEET_BIN/quarn_dumper" -u "$(id -un)" -D "$d/dumps" -f "$d/fifo" -p "$d/daemon.pid"
    fleet_wait 30 "$1's daemon to start" test -s "$d/daemon.pid"
}

# Synthesizes host $1's stream of $2 messages from the remaining arguments
# (quarn_synth options) and cuts it at message boundaries into three
# pieces, stream.1 to stream.3, of a half, a quarter and a quarter of the
# messages: the stream of the first k messages is a prefix of the whole one.
fleet_streams() {
    local d=$FLEET/$1 n=$2 k prev=0 piece=1 size
    shift 2
    mkdir -p "$d"
    "$FLEET_BIN/quarn_synth" "$@" -n "$n" -o "$d/stream.all"
    for k in $((n / 2)) $((n * 3 / 4)); do
        "$FLEET_BIN/quarn_synth" "$@" -n "$k" -o "$d/stream.first"
        size=$(stat -c %s "$d/stream.first")
        cmp -s -n "$size" "$d/stream.first" "$d/stream.all" ||
            fleet_die "quarn_synth's first $k messages are not a prefix of its $n"
        tail -c +$((prev + 1)) "$d/stream.first" > "$d/stream.$piece"
        prev=$size
        piece=$((piece + 1))
    done
    tail -c +$((prev + 1)) "$d/stream.all" > "$d/stream.$piece"
    rm "$d/stream.first"
}

# Lines of every index file of host $1 ("records" and its rotated copies).
fleet_index_lines() {
    local f
    for f in "$FLEET/$1/dumps"/records.* "$FLEET/$1/dumps/records"; do
        [ ! -f "$f" ] || cat "$f"
    done
}

# The dumps of host $1 in the engine, each counted once.
fleet_engine_lines() {
    fleet_ch_host "$1" --query "SELECT count() FROM quarn.dump_index FINAL WHERE host = '$1'"
}

# The rows of host $1 as stored (a line sent twice is there twice until a
# merge collapses it).
fleet_engine_rows() {
    fleet_ch_host "$1" --query "SELECT count() FROM quarn.dump_index WHERE host = '$1'"
}

fleet_engine_has_lines() { [ "$(fleet_engine_lines "$1")" -gt 0 ]; }

fleet_local_lines() { fleet_index_lines "$1" | wc -l; }

fleet_host_delivered() { [ "$(fleet_engine_lines "$1")" -eq "$(fleet_local_lines "$1")" ]; }

# The lines of host $1's rotated index files that the engine lacks.
fleet_engine_lacks() {
    local h=$1 f
    for f in "$FLEET/$h/dumps"/records.*; do
        [ ! -f "$f" ] || cat "$f"
    done | jq -r '[.filename, .date] | @csv' > "$FLEET/$h/rotated.keys"
    [ -s "$FLEET/$h/rotated.keys" ] || { echo 0; return; }
    fleet_ch_host "$h" --external --file="$FLEET/$h/rotated.keys" --name=keys --format=CSV \
        --structure='filename String, date String' \
        --query "SELECT count() FROM keys WHERE (filename, date) NOT IN
                     (SELECT filename, date FROM quarn.dump_index WHERE host = '$h')"
}

# Whether the engine holds every line of host $1's current "records" (the
# shipper's part, whatever became of the rotated files).
fleet_current_delivered() {
    local h=$1
    [ -f "$FLEET/$h/dumps/records" ] || return 1
    jq -r '[.filename, .date] | @csv' "$FLEET/$h/dumps/records" > "$FLEET/$h/current.keys"
    [ -s "$FLEET/$h/current.keys" ] || return 0
    [ "$(fleet_ch_host "$h" --external --file="$FLEET/$h/current.keys" --name=keys --format=CSV \
             --structure='filename String, date String' \
             --query "SELECT count() FROM keys WHERE (filename, date) NOT IN
                          (SELECT filename, date FROM quarn.dump_index WHERE host = '$h')")" -eq 0 ]
}

fleet_all_current_delivered() {
    local h
    for h in "${FLEET_HOSTS[@]}"; do fleet_current_delivered "$h" || return 1; done
}

# catch-up-index.sh for host $1, as cron would run it.
fleet_catch_up() {
    CLICKHOUSE_CLIENT=$(fleet_client_of "$1") \
        sh contrib/fleet/catch-up-index.sh -D "$FLEET/$1/dumps" -H "$1" -S "$FLEET/$1/state"
}

fleet_all_delivered() {
    local h
    for h in "${FLEET_HOSTS[@]}"; do fleet_host_delivered "$h" || return 1; done
}

# The plainly named connection with the most dumps over all hosts (the
# counts go through a file, so nothing in the pipeline stops reading early).
fleet_busiest_id() {
    local h
    for h in "${FLEET_HOSTS[@]}"; do fleet_index_lines "$h"; done |
        jq -r 'select(.pbcid | test("^[A-Za-z0-9_.:-]+$")) | .pbcid' | sort | uniq -c | sort -rn > "$FLEET/ids"
    awk 'NR == 1 { print $2 }' "$FLEET/ids"
}

fleet_index_grew() { [ "$(fleet_local_lines "$1")" -gt "$2" ]; }

# The record loader as cron would run it, for host $1; further arguments
# are its options (-n), FLEET_CLIENT replaces the client command.
fleet_loader() {
    local h=$1
    shift
    CLICKHOUSE_CLIENT=${FLEET_CLIENT:-$(fleet_client_of "$h")} \
        QUARN_INSPECT=${FLEET_INSPECT:-$FLEET_BIN/quarn_inspect} \
        sh contrib/fleet/load-records.sh -D "$FLEET/$h/dumps" -H "$h" -S "$FLEET/$h/state" "$@"
}

# The loader every second while the fleet runs (its cron period, shortened).
# catch-up-index.sh is left out here, so that what it mends stays visible
# until the caller runs it (fleet_catch_up).
fleet_loader_loop() {
    local h=$1
    (
        for fd in "${FLEET_FDS[@]}"; do exec {fd}>&-; done
        while [ ! -e "$FLEET/stop-loaders" ]; do
            fleet_loader "$h" >> "$FLEET/$h/loader.log" 2>&1 ||
                echo "loader run failed" >> "$FLEET/$h/loader.log"
            sleep 1
        done
    ) &
    fleet_track "loader-$h" $!
}

# Writes piece $2 of host $1's stream into its daemon's FIFO (descriptor $3).
fleet_feed() { timeout 120 cat "$FLEET/$1/stream.$2" >&"$3"; }

fleet_rows_grew() { [ "$(fleet_engine_rows "$1")" -gt "$2" ]; }

# SIGKILL to host $1's shipper right after the engine took a batch of it
# (its stored rows grew past $2), then the shipper started again.
fleet_kill_after_batch() {
    fleet_wait 60 "a batch of $1 in the engine" fleet_rows_grew "$1" "$2"
    kill -KILL "$(fleet_pid_of "shipper-$1")"
    fleet_reap "shipper-$1" || true
    fleet_shipper_start "$1"
}

# The whole run: three hosts, each with its daemon, shipper and loader, on
# streams of $1 messages each, fed in three pieces. While the daemons work:
# alpha's index is rotated under its running shipper; beta's shipper is
# stopped, its index grows and is rotated, and the shipper starts again
# after the rotation; gamma's shipper is killed with SIGKILL right after
# the engine took a batch of it, three times, and started again. Hosts
# named in FLEET_NO_LOOP get no periodic loader. Returns when the engine
# holds every line of every host's current "records" (the lines that beta's
# shipper never read are left to fleet_catch_up), the shippers are stopped
# and the loaders have loaded every dump.
fleet_run() {
    local messages=$1 h seed=7 conns=(24 32 40) i=0 fds=() rows
    fleet_log "engine: two clickhouse-server $(clickhouse_version) on 127.0.0.1, shard 1 on :${FLEET_TCP[0]} (HTTP :${FLEET_HTTP[0]}), shard 2 on :${FLEET_TCP[1]} (HTTP :${FLEET_HTTP[1]}), data in $FLEET/engine-*"
    for h in "${FLEET_HOSTS[@]}"; do
        # One seed, so the synthesized clocks of the three hosts share one
        # era; the connection counts make the streams differ.
        fleet_streams "$h" "$messages" -s "$seed" -c "${conns[$i]}" -r 5-40 -e 50
        fleet_daemon_start "$h"
        fleet_shipper_config "$h"
        fleet_shipper_start "$h"
        exec {fd}<> "$FLEET/$h/fifo"
        fds+=("$fd")
        FLEET_FDS+=("$fd")
        case " ${FLEET_NO_LOOP:-} " in *" $h "*) ;; *) fleet_loader_loop "$h" ;; esac
        i=$((i + 1))
    done
    fleet_log "hosts: $(for h in "${FLEET_HOSTS[@]}"; do printf '%s on shard %s  ' "$h" "$(fleet_shard "$h")"; done)"
    fleet_log "daemons, shippers and loaders started; first piece of each stream"
    rows=$(fleet_engine_rows gamma)
    for i in "${!FLEET_HOSTS[@]}"; do fleet_feed "${FLEET_HOSTS[$i]}" 1 "${fds[$i]}"; done
    # A shipper that never opened the old file cannot follow it; newsyslog
    # rotates files that the shipper has long been reading.
    fleet_wait 60 "alpha's first lines in the engine" fleet_engine_has_lines alpha
    fleet_wait 60 "beta's first lines in the engine" fleet_engine_has_lines beta
    fleet_kill_after_batch gamma "$rows"
    fleet_log "gamma: shipper killed (SIGKILL) after a batch and started again"

    fleet_log "beta: shipper stopped"
    fleet_stop shipper-beta
    local held
    held=$(fleet_local_lines beta)
    fleet_log "second piece of each stream; meanwhile alpha: mv records records.0, SIGHUP to its daemon"
    rows=$(fleet_engine_rows gamma)
    fleet_feed alpha 2 "${fds[0]}" &
    local writer=$!
    mv "$FLEET/alpha/dumps/records" "$FLEET/alpha/dumps/records.0"
    kill -HUP "$(fleet_pid_of daemon-alpha)"
    fleet_feed beta 2 "${fds[1]}"
    fleet_feed gamma 2 "${fds[2]}"
    wait "$writer" || fleet_die "a stream could not be written"
    fleet_kill_after_batch gamma "$rows"
    fleet_log "gamma: shipper killed (SIGKILL) after a batch and started again"
    fleet_wait 60 "beta's index to grow" fleet_index_grew beta "$held"
    fleet_log "beta: $(($(fleet_local_lines beta) - held)) lines written while its shipper is down; mv records records.0, SIGHUP to its daemon"
    mv "$FLEET/beta/dumps/records" "$FLEET/beta/dumps/records.0"
    kill -HUP "$(fleet_pid_of daemon-beta)"

    fleet_log "third piece of each stream"
    rows=$(fleet_engine_rows gamma)
    for i in "${!FLEET_HOSTS[@]}"; do fleet_feed "${FLEET_HOSTS[$i]}" 3 "${fds[$i]}"; done
    fleet_wait 60 "beta's new records" test -s "$FLEET/beta/dumps/records"
    fleet_log "beta: shipper started again"
    fleet_shipper_start beta
    fleet_kill_after_batch gamma "$rows"
    fleet_log "gamma: shipper killed (SIGKILL) after a batch and started again"

    for fd in "${fds[@]}"; do exec {fd}>&-; done
    FLEET_FDS=()
    for h in "${FLEET_HOSTS[@]}"; do
        local status=0
        fleet_reap "daemon-$h" || status=$?
        [ "$status" -eq 0 ] || fleet_die "$h's daemon ended with status $status"
    done
    fleet_log "daemons done: $(for h in "${FLEET_HOSTS[@]}"; do printf '%s %s lines  ' "$h" "$(fleet_local_lines "$h")"; done)"

    fleet_wait 120 "every line of the current index files in the engine" fleet_all_current_delivered
    for h in "${FLEET_HOSTS[@]}"; do fleet_stop "shipper-$h"; done
    # A loader ends after its current run (killing it could leave a run
    # holding the lock that the last run below needs).
    touch "$FLEET/stop-loaders"
    for h in "${FLEET_HOSTS[@]}"; do
        case " ${FLEET_NO_LOOP:-} " in *" $h "*) ;; *) fleet_reap "loader-$h" ;; esac
    done
    fleet_log "shippers stopped; last loader runs"
    for h in "${FLEET_HOSTS[@]}"; do
        case " ${FLEET_NO_LOOP:-} " in *" $h "*) continue ;; esac
        fleet_loader "$h" 2>&1 | sed "s/^/$h: /"
    done
}

# The questions, in the form the demo and the test ask them. $1 is a
# table name suffix: "" for a server's local tables, "_all" for the
# Distributed ones.
#
# The synthesized clocks lie years back, so "the last hour" is the hour up
# to the latest record in the engine rather than up to now(); $2, when
# given, is that latest time (seconds), so that each server asked alone
# takes the cluster's hour.
fleet_q_rto() {
    local latest="(SELECT max(ts) FROM quarn.dump_records$1)"
    [ -z "${2:-}" ] || latest="toDateTime($2)"
    cat <<SQL
WITH $latest AS latest
SELECT host, uniqExact(stem) AS connections, count() AS rtos
FROM quarn.dump_records$1
WHERE event = 'rto' AND ts > latest - 3600
GROUP BY host
ORDER BY host
SQL
}

# srtt per host for the tag $2. The dumps come from the index; both tables
# are sharded by host, so the IN subquery reads each shard's own index.
fleet_q_srtt() {
    cat <<SQL
SELECT host, count() AS records, quantilesExact(0.1, 0.5, 0.9, 0.99)(srtt) AS srtt_quantiles, max(srtt) AS srtt_max
FROM quarn.dump_records$1
WHERE block != 'gap'
  AND (host, stem, part) IN (SELECT host, stem, part FROM quarn.dump_index WHERE tag = '$2')
GROUP BY host
ORDER BY host
SQL
}

# Where the dumps of the connection with id $2 are (each dump once: FINAL).
fleet_q_where() {
    cat <<SQL
SELECT host, filename, date, record_count, connection_ended
FROM quarn.dump_index$1 FINAL
WHERE pbcid = '$2'
ORDER BY host, stem, part
SQL
}

# The 10 connections that waited longest for their retransmission timeouts
# (each connection's latest summary: FINAL).
fleet_q_worst_rto() {
    cat <<SQL
SELECT host, stem, rto_count, rto_wait, duration, verdict
FROM quarn.connection_summary$1 FINAL
WHERE rto_count > 0
ORDER BY rto_wait DESC, host, stem
LIMIT 10
SQL
}

# The hosts that had receiver-limited connections on "yesterday": the day
# before the latest connection's last record, or the day $2 (YYYY-MM-DD)
# when given, so that each server asked alone takes the cluster's day.
fleet_q_rwnd() {
    local day="(SELECT toDate(toDateTime(toUInt32(max(last)))) - 1 FROM quarn.connection_summary$1)"
    [ -z "${2:-}" ] || day="toDate('$2')"
    cat <<SQL
WITH $day AS day
SELECT host, count() AS connections, sum(limited_rwnd) AS rwnd_limited_seconds
FROM quarn.connection_summary$1 FINAL
WHERE limited_rwnd > 0 AND toDate(toDateTime(toUInt32(last))) = day
GROUP BY host
ORDER BY host
SQL
}
