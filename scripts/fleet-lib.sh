# A small fleet on this machine, for scripts/fleet-demo.sh and
# scripts/fleet-test.sh (sourced by both, from the checkout's top directory,
# under `set -euo pipefail`).
#
# Everything lives in one temporary directory and listens on 127.0.0.1
# only: the engine (clickhouse-server with its own config.xml and users.xml
# there, on free ports; never the system service), and per simulated host a
# daemon reading a FIFO, its dump directory, a syslog-ng instance with its
# own configuration, persist file, control socket and PID file, and the
# record loader's state. fleet_stop_all (run from the EXIT trap) stops
# every process started here, each by its own PID.

FLEET_HOSTS=(host-a host-b host-c)
FLEET_PIDS=()   # "name pid", in start order
FLEET_TCP=
FLEET_HTTP=

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
        wait "${entry#* }" || status=$?
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
        tail -n 20 "$FLEET"/engine/log/err.log "$FLEET"/*/shipper/log "$FLEET"/*/loader.log \
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

# Two free TCP ports on 127.0.0.1.
fleet_free_ports() {
    python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])'
}

fleet_ch() { clickhouse-client --host 127.0.0.1 --port "$FLEET_TCP" "$@"; }

# The engine, with the schema loaded, and a one-shard cluster "quarn_fleet"
# over itself for the Distributed tables.
fleet_engine_start() {
    local e=$FLEET/engine
    mkdir -p "$e/log" "$e/data" "$e/tmp" "$e/user_files"
    read -r FLEET_HTTP FLEET_TCP < <(fleet_free_ports)
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
    <http_port>$FLEET_HTTP</http_port>
    <tcp_port>$FLEET_TCP</tcp_port>
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
        <quarn_fleet>
            <shard>
                <replica><host>127.0.0.1</host><port>$FLEET_TCP</port></replica>
            </shard>
        </quarn_fleet>
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
    fleet_spawn engine "$e/log/stdout" /usr/sbin/clickhouse-server --config-file="$e/config.xml"
    fleet_wait 60 "the engine to answer" \
        curl -sf -o /dev/null "http://127.0.0.1:$FLEET_HTTP/ping"
    fleet_ch --multiquery < contrib/fleet/schema.sql
}

# Writes host $1's shipper configuration: the defines and the shared part.
fleet_shipper_config() {
    local h=$1 s=$FLEET/$1/shipper
    mkdir -p "$s"
    cat > "$s/syslog-ng.conf" <<EOF
@version: 3.38
@define quarn_dir "$FLEET/$h/dumps"
@define quarn_host "$h"
@define quarn_engine "http://127.0.0.1:$FLEET_HTTP"
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

# Synthesizes host $1's stream from the remaining arguments (quarn_synth
# options) and cuts it at a message boundary into two halves: the stream
# of the first half of the messages is a prefix of the whole one.
fleet_streams() {
    local d=$FLEET/$1 n=$2
    shift 2
    mkdir -p "$d"
    "$FLEET_BIN/quarn_synth" "$@" -n "$n" -o "$d/stream.all"
    "$FLEET_BIN/quarn_synth" "$@" -n $((n / 2)) -o "$d/stream.1"
    local size
    size=$(stat -c %s "$d/stream.1")
    cmp -s -n "$size" "$d/stream.1" "$d/stream.all" ||
        fleet_die "quarn_synth's first $((n / 2)) messages are not a prefix of its $n"
    tail -c +$((size + 1)) "$d/stream.all" > "$d/stream.2"
}

# Lines of every index file of host $1 ("records" and its rotated copies).
fleet_index_lines() {
    local f
    for f in "$FLEET/$1/dumps"/records.* "$FLEET/$1/dumps/records"; do
        [ ! -f "$f" ] || cat "$f"
    done
}

fleet_engine_lines() {
    fleet_ch --query "SELECT count() FROM quarn.dump_index WHERE host = '$1'"
}

fleet_engine_has_lines() { [ "$(fleet_engine_lines "$1")" -gt 0 ]; }

fleet_local_lines() { fleet_index_lines "$1" | wc -l; }

fleet_host_delivered() { [ "$(fleet_engine_lines "$1")" -eq "$(fleet_local_lines "$1")" ]; }

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
    CLICKHOUSE_CLIENT=${FLEET_CLIENT:-clickhouse-client --host 127.0.0.1 --port $FLEET_TCP} \
        QUARN_INSPECT=${FLEET_INSPECT:-$FLEET_BIN/quarn_inspect} \
        sh contrib/fleet/load-records.sh -D "$FLEET/$h/dumps" -H "$h" -S "$FLEET/$h/state" "$@"
}

# The loader every second while the fleet runs (its cron period, shortened).
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

# The whole run: three hosts, each with its daemon, shipper and loader, on
# streams of $1 messages each; host-a's index is rotated and host-b's
# shipper restarted while the daemons work. Hosts named in FLEET_NO_LOOP get
# no periodic loader. Returns when every index line reached the engine, the
# shippers are stopped and the loaders have loaded every dump.
fleet_run() {
    local messages=$1 h seed=7 conns=(24 32 40) i=0 fds=() writers=()
    fleet_log "engine: clickhouse-server $(clickhouse_version) on 127.0.0.1:$FLEET_HTTP (HTTP) and :$FLEET_TCP, data in $FLEET/engine"
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
    fleet_log "hosts ${FLEET_HOSTS[*]}: daemons, shippers and loaders started; first half of each stream"
    for i in "${!FLEET_HOSTS[@]}"; do
        timeout 120 cat "$FLEET/${FLEET_HOSTS[$i]}/stream.1" >&"${fds[$i]}"
    done

    # A shipper that never opened the old file cannot follow it; newsyslog
    # rotates files that the shipper has long been reading.
    fleet_wait 60 "host-a's first lines in the engine" fleet_engine_has_lines host-a

    fleet_log "host-b: shipper stopped"
    fleet_stop shipper-host-b
    local held
    held=$(fleet_local_lines host-b)

    fleet_log "second half of each stream; meanwhile host-a: mv records records.0, SIGHUP to its daemon"
    for i in "${!FLEET_HOSTS[@]}"; do
        timeout 120 cat "$FLEET/${FLEET_HOSTS[$i]}/stream.2" >&"${fds[$i]}" &
        writers+=($!)
    done
    mv "$FLEET/host-a/dumps/records" "$FLEET/host-a/dumps/records.0"
    kill -HUP "$(fleet_pid_of daemon-host-a)"
    fleet_wait 60 "host-b's index to grow" fleet_index_grew host-b "$held"
    fleet_log "host-b: shipper started again ($(($(fleet_local_lines host-b) - held)) lines written while it was down)"
    fleet_shipper_start host-b
    for i in "${writers[@]}"; do wait "$i" || fleet_die "a stream could not be written"; done
    for fd in "${fds[@]}"; do exec {fd}>&-; done
    FLEET_FDS=()
    for h in "${FLEET_HOSTS[@]}"; do
        local status=0
        fleet_reap "daemon-$h" || status=$?
        [ "$status" -eq 0 ] || fleet_die "$h's daemon ended with status $status"
    done
    fleet_log "daemons done: $(for h in "${FLEET_HOSTS[@]}"; do printf '%s %s lines  ' "$h" "$(fleet_local_lines "$h")"; done)"

    fleet_wait 120 "every index line in the engine" fleet_all_delivered
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

# The questions, in the form the demo and the test ask them. The
# synthesized clocks lie years back, so "the last hour" is the hour up to
# the latest record in the engine rather than up to now(). $1 is a table
# name suffix: "" for the local tables, "_all" for the Distributed ones.
fleet_q_rto() {
    cat <<SQL
WITH (SELECT max(ts) FROM quarn.dump_records$1) AS latest
SELECT host, uniqExact(stem) AS connections, count() AS rtos
FROM quarn.dump_records$1
WHERE event = 'rto' AND ts > latest - 3600
GROUP BY host
ORDER BY host
SQL
}

# srtt per host for the tag $2.
fleet_q_srtt() {
    cat <<SQL
SELECT host, count() AS records, quantilesExact(0.1, 0.5, 0.9, 0.99)(srtt) AS srtt_quantiles, max(srtt) AS srtt_max
FROM quarn.dump_records$1
WHERE block != 'gap'
  AND (host, stem, part) IN (SELECT host, stem, part FROM quarn.dump_index$1 WHERE tag = '$2')
GROUP BY host
ORDER BY host
SQL
}

# Where the dumps of the connection with id $2 are.
fleet_q_where() {
    cat <<SQL
SELECT host, filename, date, record_count, connection_ended
FROM quarn.dump_index$1
WHERE pbcid = '$2'
ORDER BY host, stem, part
SQL
}
