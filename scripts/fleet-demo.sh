#!/usr/bin/env bash
# A fleet of three simulated hosts and one analytical engine, on this
# machine. Installs what is missing (the project's packages, then
# clickhouse-server, clickhouse-client, syslog-ng-core and
# syslog-ng-mod-http), builds the daemon and the tools, then:
#   - starts ClickHouse in a temporary directory, on 127.0.0.1 and free
#     ports, with the tables of contrib/fleet/schema.sql;
#   - starts three hosts, each with its own daemon reading a synthesized
#     stream through a FIFO, its dump directory, its host name, its
#     syslog-ng (contrib/fleet/quarn-fleet.conf) shipping the index, and
#     the record loader (contrib/fleet/load-records.sh) every second;
#   - mid-run rotates host-a's index (mv records records.0, SIGHUP) and
#     stops and restarts host-b's shipper;
#   - asks the three questions and prints the answers;
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
fleet_log "the engine holds:"
fleet_ch --query "
    SELECT host, dumps, records_indexed, records_loaded
    FROM (SELECT host, count() AS dumps, sum(record_count) AS records_indexed
          FROM quarn.dump_index GROUP BY host)
    ANY LEFT JOIN (SELECT host, count() AS records_loaded FROM quarn.dump_records GROUP BY host)
    USING host
    ORDER BY host FORMAT PrettyCompactNoEscapes"
for h in "${FLEET_HOSTS[@]}"; do
    echo "$h: $(fleet_local_lines "$h") index lines in $(ls "$FLEET/$h/dumps" | grep '^records' | tr '\n' ' ')"
done

echo
fleet_log "Which hosts had connections with an RTO in the last hour? (the synthesized clocks lie in the past: the hour up to the latest record)"
ask rto "$(fleet_q_rto "")"

tag=bulk
echo
fleet_log "How is srtt distributed per host for the tag \"$tag\"?"
ask srtt "$(fleet_q_srtt "" "$tag")"

x=$(fleet_busiest_id)
echo
fleet_log "Where are the dumps of connection \"$x\"?"
ask where "$(fleet_q_where "" "$x")"
