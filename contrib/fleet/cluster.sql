-- The fleet's tables across shards, on every node that answers questions,
-- after schema.sql: a Distributed table over each table of schema.sql, for
-- the cluster "quarn_fleet" of the node's config.xml, one shard a server:
--
--   <remote_servers>
--     <quarn_fleet>
--       <shard><replica><host>ch1.example.net</host><port>9000</port></replica></shard>
--       <shard><replica><host>ch2.example.net</host><port>9000</port></replica></shard>
--     </quarn_fleet>
--   </remote_servers>
--
-- Sharded by host: all rows of a host lie on one shard, so the per-host
-- GROUP BYs finish on the shards (the initiator only puts disjoint groups
-- together), collapsing dump_index or connection_summary with FINAL needs
-- no other shard, and
-- an IN subquery may name the local table, which every shard answers for
-- its own hosts:
--
--   SELECT ... FROM quarn.dump_records_all
--   WHERE (host, stem, part) IN (SELECT host, stem, part FROM quarn.dump_index WHERE ...)
--
-- (naming dump_index_all there is refused unless GLOBAL IN ships the whole
-- set to every shard).
--
-- A host's shipper, catch-up-index.sh and load-records.sh write straight to
-- the local tables of the host's shard: the one these Distributed tables
-- would choose, shard number cityHash64(host) % 2 + 1 in the order of
-- config.xml for two shards of weight 1 (in general the shard whose range
-- of weights holds cityHash64(host) % total weight). Writing through the
-- Distributed table instead would forward every row once more, and
-- ClickHouse 18.16 refuses it for tables with MATERIALIZED columns.
--
-- A query names the _all tables the way it names the local ones, and reads
-- quarn.dump_index_all FINAL as it reads quarn.dump_index FINAL (and
-- connection_summary_all FINAL likewise).

CREATE TABLE IF NOT EXISTS quarn.dump_index_all AS quarn.dump_index
    ENGINE = Distributed(quarn_fleet, quarn, dump_index, cityHash64(host));

CREATE TABLE IF NOT EXISTS quarn.dump_records_all AS quarn.dump_records
    ENGINE = Distributed(quarn_fleet, quarn, dump_records, cityHash64(host));

CREATE TABLE IF NOT EXISTS quarn.connection_summary_all AS quarn.connection_summary
    ENGINE = Distributed(quarn_fleet, quarn, connection_summary, cityHash64(host));
