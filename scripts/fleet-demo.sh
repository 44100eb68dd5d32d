#!/usr/bin/env bash
# A fleet of three simulated hosts and an analytical engine of two
# servers, on this machine. Installs what is missing (the project's
# packages, then clickhouse-server, clickhouse-client, syslog-ng-core and
# syslog-ng-mod-http), builds the daemon and the tools, then:
#   - starts two ClickHouse servers in a temporary directory, on 127.0.0.1
#     and free ports, as the two shards of one cluster, each with the
#     tables of contrib/fleet/schema.sql and the Distributed tables of
#     contrib/fleet/cluster.sql;
#   - starts three hosts, each with its own daemon reading a synthesized
#     stream through a FIFO, its dump directory, its host name, its
#     syslog-ng (contrib/fleet/quarn-fleet.conf) shipping the index to the
#     host's shard, and the record loader (contrib/fleet/load-records.sh)
#     every second;
#   - mid-run rotates alpha's index (mv records records.0, SIGHUP) under its
#     running shipper, rotates beta's while its shipper is stopped, and
#     kills gamma's shipper with SIGKILL three times, each right after the
#     engine took a batch;
#   - runs contrib/fleet/catch-up-index.sh for every host, which sends the
#     lines of beta's old index that its shipper never read;
#   - asks the three questions through the Distributed tables, and the
#     worst 10 connections by the time they waited for RTOs (from the
#     connection summaries), and prints the answers;
#   - stops every process it started and removes the directory
#     (FLEET_KEEP=1 keeps it).
# scripts/fleet-test.sh checks the claims on the same run.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/fleet-lib.sh
fleet_install
fleet_build
fleet_init
fleet_engine_start
fleet_run "${FLEET_MESSAGES:-600}"

ask() {
    echo
    echo "$2" | sed 's/^/    /'
    echo
    fleet_ch --query "$2 FORMAT PrettyCompactNoEscapes"
}

echo
fleet_log "catch-up-index.sh on every host:"
for h in "${FLEET_HOSTS[@]}"; do
    echo "$h: $(fleet_catch_up "$h" 2>&1)"
done

echo
fleet_log "the engine holds (through the Distributed tables; each dump once):"
fleet_ch --query "
    SELECT host, dumps, records_indexed, records_loaded
    FROM (SELECT host, count() AS dumps, sum(record_count) AS records_indexed
          FROM quarn.dump_index_all FINAL GROUP BY host)
    ANY LEFT JOIN (SELECT host, count() AS records_loaded FROM quarn.dump_records_all GROUP BY host)
    USING host
    ORDER BY host FORMAT PrettyCompactNoEscapes"
for h in "${FLEET_HOSTS[@]}"; do
    echo "$h: $(fleet_local_lines "$h") index lines in $(ls "$FLEET/$h/dumps" | grep '^records' | tr '\n' ' ')"
done

echo
fleet_log "Which hosts had connections with an RTO in the last hour? (the synthesized clocks lie in the past: the hour up to the latest record)"
ask rto "$(fleet_q_rto _all)"

tag=bulk
echo
fleet_log "How is srtt distributed per host for the tag \"$tag\"?"
ask srtt "$(fleet_q_srtt _all "$tag")"

x=$(fleet_busiest_id)
echo
fleet_log "Where are the dumps of connection \"$x\"?"
ask where "$(fleet_q_where _all "$x")"

echo
fleet_log "Which 10 connections waited longest for retransmission timeouts? (one summary row per connection)"
ask worst "$(fleet_q_worst_rto _all)"
