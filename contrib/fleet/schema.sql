-- The fleet's tables, for ClickHouse 18.16 and later (Debian 12's
-- clickhouse-server, FreeBSD's databases/clickhouse).
--
--   quarn.dump_index    one row per dump: the host and its "records" line
--   quarn.dump_records  one row per record of a dump: the host, the
--                       connection's file stem, the dump's part number, and
--                       the decoded columns of `quarn_inspect --csv`
--   quarn.connection_summary
--                       one row per connection: the host and the columns of
--                       `quarn_inspect --summary --csv` over all the
--                       connection's dumps on the host
--
-- The shipper and catch-up-index.sh insert index lines as they are
-- (JSONEachRow, with "host" added); the record loader inserts
-- `quarn_inspect --csv` rows behind two columns of its own (host and batch),
-- and `quarn_inspect --summary --csv` rows behind two others (host and
-- version).
-- Load with input_format_skip_unknown_fields=1.
--
-- Every index line is in dump_index once and every record in dump_records
-- once, whatever stops or restarts on the way:
--   - the shipper sends a batch again when it died after the engine took
--     it; dump_index collapses repeated lines (below), and questions read
--     it collapsed (FINAL);
--   - lines the shipper never read (the index rotated while it was
--     stopped) are sent by catch-up-index.sh from the rotated files;
--   - the record loader writes each batch down before its INSERT and finds,
--     on its next run, a batch that was cut short or taken without its
--     answer (load-records.sh), so dump_records needs no collapsing;
--   - a connection's summary is written again, whole, each time one of its
--     dumps is loaded; connection_summary keeps the latest row of each
--     connection (below), and questions read it collapsed (FINAL).

CREATE DATABASE IF NOT EXISTS quarn;

-- Keys of an index line. "date" stays the daemon's text ("2023-11-14
-- 22:16:40 +0000", or "unknown" when the clock could not be read), so no
-- line is ever refused for it; `dumped` is its value, 1970 for "unknown".
-- "connection_ended" arrives as true/false and is kept as 1/0.
-- `stem` and `part` split the file name as the record table has it
-- ("<stem>.<part>.pcapng[.xz|.zst]"), so the two tables join on
-- (host, stem, part).
--
-- Sort key: "where are the dumps of connection X" names X by its id
-- (pbcid) or, when the id is empty, by the foreign address and port; both
-- lead the key, so such a lookup reads a few granules. The rest of the
-- key keeps one connection's dumps of one host together.
--
-- One dump is one (host, filename, date): the daemon creates a file name
-- only while no file has it, so a name comes back only after its dump
-- expired, with a later date. The sort key holds these three (pbcid,
-- faddr and fport follow from the file name), so ReplacingMergeTree keeps
-- one row of the lines sent twice, when it merges parts in the
-- background; until then both rows are stored, and a question counts
-- each dump once by reading the table with FINAL (or by grouping on
-- host, filename and date). Two dumps of one file name whose dates are
-- both "unknown" (a clock that could not be read) would count as one.
CREATE TABLE IF NOT EXISTS quarn.dump_index
(
    host String,
    date String,
    pbcid String,
    reason String,
    faddr String,
    fport UInt16,
    laddr String,
    lport UInt16,
    filename String,
    record_count UInt32,
    stack String,
    duration Decimal64(6),
    connection_ended UInt8,
    tag String,
    compressor String,
    frag_seq Int32,
    dumped DateTime MATERIALIZED parseDateTimeBestEffortOrZero(date),
    stem String MATERIALIZED replaceRegexpOne(filename, '\\.[0-9]+\\.pcapng(\\.xz|\\.zst)?$', ''),
    part UInt32 MATERIALIZED toUInt32OrZero(extract(filename, '\\.([0-9]+)\\.pcapng(\\.xz|\\.zst)?$'))
)
ENGINE = ReplacingMergeTree
PARTITION BY toYYYYMM(dumped)
ORDER BY (pbcid, faddr, fport, host, filename, date);

-- One row per record. `time` is the record's time (seconds since the
-- epoch, microseconds exact); `ts` the same to the second, for the
-- partition and the key. The engine computes `ts` when it writes the rows,
-- and refuses a row whose time lies before 1970 ("Decimal convert
-- overflow"), and with it every row of its INSERT not written yet: the
-- record loader ends a batch it must not store with such a row. A cell
-- that `quarn_inspect --csv` leaves empty
-- (rxbuf_acc without flag 0x1, the rack_ and bbr_ columns of other stacks,
-- everything but time, serial and missing in a gap row) loads as 0 or '':
-- `block`, `flags` and `stack` say which cells mean something.
--
-- Sort key: the event comes first, as questions pick records by it ("rto")
-- and it has a few dozen values; then host, connection and dump, so the
-- rows of one dump lie together (they compress best so, and a set of dumps
-- is a set of ranges); time last. Partitions are months; within one, each
-- part keeps the least and the greatest `ts` of its rows, so "the last
-- hour" reads only the parts that reach into it (a loader batch makes one
-- part per month its records span, and merges join neighbouring parts).
-- Daily partitions cost an INSERT whose rows span two days a second part
-- and a split of every column (0.2 s of the engine's CPU for 137,000
-- rows). Questions about a tag or a reason pick the dumps in dump_index
-- and join on (host, stem, part).
--
-- `batch` is the record loader's batch number on that host: a load that
-- died half-way is found and removed by it (see load-records.sh). The
-- loader names its columns in its INSERT (host, batch, then the header of
-- `quarn_inspect --csv`, which starts with stem and part), so the order
-- here is free.
CREATE TABLE IF NOT EXISTS quarn.dump_records
(
    host String,
    stem String,
    part UInt32,
    batch UInt64,
    time Decimal64(6),
    block Enum8('packet' = 1, 'event' = 2, 'gap' = 3),
    serial UInt32,
    stack_id UInt8,
    stack String,
    event_id UInt8,
    event String,
    state String,
    flags UInt16,
    errno Int32,
    snd_una UInt32,
    snd_max UInt32,
    snd_nxt UInt32,
    snd_recover UInt32,
    cwnd UInt32,
    ssthresh UInt32,
    snd_wnd UInt32,
    rcv_nxt UInt32,
    rcv_wnd UInt32,
    srtt UInt32,
    rttvar UInt32,
    dupacks UInt32,
    segqlen Int32,
    sack_holes Int32,
    flex1 UInt32,
    flex2 UInt32,
    rxbuf_acc UInt32,
    txbuf_acc UInt32,
    payload_len UInt32,
    missing UInt32,
    rack_rtt UInt32,
    rack_state UInt8,
    bbr_cur_del_rate UInt64,
    bbr_del_rate UInt64,
    bbr_rtt_prop UInt64,
    bbr_bw_inuse UInt64,
    bbr_inflight UInt32,
    bbr_applimited UInt32,
    bbr_delivered UInt32,
    bbr_timestamp UInt32,
    bbr_epoch UInt32,
    bbr_lt_epoch UInt32,
    bbr_pkts_out UInt32,
    bbr_flex1 UInt32,
    bbr_flex2 UInt32,
    bbr_flex3 UInt32,
    bbr_flex4 UInt32,
    bbr_flex5 UInt32,
    bbr_flex6 UInt32,
    bbr_lost UInt32,
    bbr_pacing_gain UInt16,
    bbr_cwnd_gain UInt16,
    bbr_flex7 UInt16,
    bbr_bbr_state UInt8,
    bbr_bbr_substate UInt8,
    bbr_inhpts UInt8,
    bbr_ininput UInt8,
    bbr_use_lt_bw UInt8,
    bbr_flex8 UInt8,
    bbr_pkt_epoch UInt32,
    ticks UInt32,
    iss UInt32,
    starttime UInt32,
    t_flags UInt32,
    t_flags_names String,
    t_flags2 UInt32,
    rcv_up UInt32,
    rcv_adv UInt32,
    fbyte_in UInt32,
    fbyte_out UInt32,
    snd_scale UInt8,
    rcv_scale UInt8,
    rxbuf_ccc UInt32,
    txbuf_ccc UInt32,
    srtt_ms Decimal64(3),
    rttvar_ms Decimal64(3),
    rack_rtt_ms Decimal64(3),
    tcp_seq UInt32,
    tcp_ack UInt32,
    tcp_win UInt16,
    tcp_flags String,
    tcp_len UInt32,
    ts DateTime MATERIALIZED toDateTime(toUInt32(time))
)
ENGINE = MergeTree
PARTITION BY toYYYYMM(ts)
ORDER BY (event, host, stem, part, ts);

-- One row per connection of a host: the columns of `quarn_inspect --summary
-- --csv` (see quarn_inspect(1) for what each answers). Times and limit
-- times are seconds (microseconds exact), srtt_* milliseconds, the
-- *_fraction columns shares of established_time. A value the summary
-- leaves empty loads as 0 or '': addresses and ports without a log header,
-- first, last and duration without a record time, srtt_* without a base
-- stack's smoothed RTT, the fractions when established_time is 0.
--
-- A connection's dumps reach the loader in different batches, and more
-- of them come while it lives. After each batch the loader sums up every
-- connection the batch touched from all its dumps on disk, and inserts
-- these rows with a `version` higher than any before on that host. The
-- sort key is (host, stem), so ReplacingMergeTree keeps the row of the
-- highest version of each connection when it merges; until then older rows
-- are stored too, and a question reads the table with FINAL. A row written
-- twice (a loader that died after the INSERT) has a lower version than the
-- one written after it, or is the same row.
--
--   which hosts had receiver-limited connections yesterday:
--     SELECT host, count() AS connections, sum(limited_rwnd) AS seconds
--     FROM quarn.connection_summary_all FINAL
--     WHERE limited_rwnd > 0 AND toDate(toDateTime(toUInt32(last))) = yesterday()
--     GROUP BY host ORDER BY host
--   the worst 10 connections by rto_wait:
--     SELECT host, stem, rto_count, rto_wait, verdict
--     FROM quarn.connection_summary_all FINAL
--     ORDER BY rto_wait DESC, host, stem LIMIT 10
CREATE TABLE IF NOT EXISTS quarn.connection_summary
(
    host String,
    version UInt64,
    stem String,
    laddr String,
    lport UInt16,
    faddr String,
    fport UInt16,
    stack String,
    first Decimal64(6),
    last Decimal64(6),
    duration Decimal64(6),
    records UInt64,
    missing UInt64,
    bytes_sent UInt64,
    bytes_received UInt64,
    segments_sent UInt64,
    segments_retransmitted UInt64,
    bytes_retransmitted UInt64,
    rto_count UInt64,
    rto_wait Decimal64(6),
    recovery_episodes UInt64,
    recovery_time Decimal64(6),
    srtt_min_ms Decimal64(3),
    srtt_avg_ms Decimal64(3),
    srtt_max_ms Decimal64(3),
    established_time Decimal64(6),
    limited_cwnd Decimal64(6),
    limited_rwnd Decimal64(6),
    limited_app Decimal64(6),
    limited_rto Decimal64(6),
    unknown Decimal64(6),
    limited_cwnd_fraction Decimal32(4),
    limited_rwnd_fraction Decimal32(4),
    limited_app_fraction Decimal32(4),
    limited_rto_fraction Decimal32(4),
    unknown_fraction Decimal32(4),
    rcv_window_closed Decimal64(6),
    verdict String
)
ENGINE = ReplacingMergeTree(version)
ORDER BY (host, stem);

-- Across shards: cluster.sql, on every node after this file.
