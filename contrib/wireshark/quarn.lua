-- quarn.lua: quarn_dumper's dumps and timelines in Wireshark and tshark 4.0
-- and later.
--
-- Every record of the TCP log ends up in a dump in one of three kinds of
-- block: a packet (an enhanced packet block whose custom option carries the
-- record's first 268 bytes), an event (a custom block of enterprise number
-- 32473, subtype 1, carrying the same bytes) or a gap (subtype 2: how many
-- records were lost). A timeline (quarn_inspect --timeline) keeps the
-- packets and turns events and gaps into packets of link type 147 on an
-- interface of their own, holding the custom block's bytes after the
-- enterprise number; every interface of a timeline is named after its
-- connection's stem, so a merge of timelines keeps who is who.
--
-- This file brings four pieces:
--  - a file reader for the daemon's own pcapng files (section header
--    options of enterprise number 32473, see PEN below, written by the
--    daemon or by quarn_inspect --join). Wireshark's own pcapng reader hands no block
--    option to a dissector, so without it the record of a packet block
--    stays out of reach. It reads packets with their link type and time as
--    usual, keeps each packet's record for the decoder, and turns event and
--    gap blocks into frames of the user link type with a time: an event's
--    own record time, a gap's the time of the record after it. Frames of
--    equal time come in serial order. Timelines and files rewritten by
--    Wireshark's tools (editcap, mergecap) are left to Wireshark's reader,
--    so that tshark -w can write them; the preference quarn.read_all takes
--    them too, quarn.read_files turns the reader off;
--  - the dissector of those user link type frames, registered in the
--    "wtap_encap" table for USER0, so that timelines decode with any reader;
--  - the same dissector for packet frames of this reader: while the reader
--    has a file open it stands in for Wireshark's dissector of the
--    packets' link type, calls it and adds the packet's record;
--  - a postdissector, registered only when needed, that decodes custom
--    block frames (from Wireshark's own reader), names the connection of
--    every frame of a timeline, and adds the record of packet frames that
--    Wireshark reads again after a pass without a tree.
--
-- Every record field is a display-filter field: quarn.cwnd, quarn.srtt,
-- quarn.state, quarn.event, ... (see `fields` below). Event names go into
-- the Info column, a gap raises an expert-info warning, a damaged or cut
-- file one expert-info error on a frame of its own after its last whole
-- block.
--
-- Speed: the reader reads the file in large pieces and takes the blocks
-- the daemon writes (a packet with its record option, an event, a gap)
-- with two unpacks each, every other block option by option; an event's
-- Info comes from one more unpack and a format made once; the dissectors
-- add record fields only when Wireshark builds a tree, and a pass without
-- a tree calls no Lua for packet frames. Field extractors make Wireshark build a tree
-- for every frame, so they are made only for files this reader leaves to
-- Wireshark's (timelines, whose interface names and descriptions tell the
-- connection and its stacks).
--
-- Install: copy this file into the personal Lua plugins folder
-- (~/.local/lib/wireshark/plugins/), or load it for one run with
--   tshark -X lua_script:quarn.lua -r dump.pcapng

-- 32473: the enterprise number IANA reserves for documentation (RFC 5612).
local PEN = 32473
local SUB_EVENT = 1
local SUB_GAP = 2
local OPT_COMMENT = 1
local OPT_IF_NAME = 2
local OPT_IF_DESCRIPTION = 3
local OPT_IF_TSRESOL = 9
local OPT_CUSTOM = 2989          -- binary custom option, copyable
local OPT_CUSTOM_NOCOPY = 19373  -- the same, not to be copied
local OPT_SUB_RECORD = 2
local OPT_SUB_LOG_HEADER = 4
local OPT_SUB_STACK_NAME = 6
local RECORD_BYTES = 268
local RECORD_OPT_LEN = 8 + RECORD_BYTES
local LOG_HEADER_BYTES = 208
local LOG_HEADER_TIME_OFFSET = 56  -- timeval: int64 seconds, int64 microseconds

local BT_SHB = 0x0A0D0D0A
local BT_IDB = 1
local BT_EPB = 6
local BT_CUSTOM = 0x00000BAD
local BT_CUSTOM_NOCOPY = 0x40000BAD
local BYTE_ORDER_MAGIC = 0x1A2B3C4D
local MAX_BLOCK = 16 * 1024 * 1024
local EPB_FIXED = 28            -- type, length, interface, time, lengths
local LINKTYPE_USER0 = 147
local OPT_SHB_USERAPPL = 4
local TIMELINE_RECORDS = "quarn_dumper records"
local READ_CHUNK = 1024 * 1024

-- Record flags (offset 26).
local FLAG_RXBUF = 0x0001
local FLAG_TXBUF = 0x0002
local FLAG_STACKINFO = 0x0010

local quarn = Proto("quarn", "quarn_dumper log record")

----------------------------------------------------------------------------
-- Names

-- Event ids 1 to 63 as the kernel names them; people see the short name:
-- without a TCP_LOG_ or BBR_LOG_ prefix, in lower case.
local kernel_event_names = {
    "TCP_LOG_IN", "TCP_LOG_OUT", "TCP_LOG_RTO", "TCP_LOG_SB_WAKE", "TCP_LOG_BAD_RETRAN",
    "TCP_LOG_PRR", "TCP_LOG_REORDER", "TCP_LOG_HPTS", "BBR_LOG_BBRUPD", "BBR_LOG_BBRSND",
    "BBR_LOG_ACKCLEAR", "BBR_LOG_INQUEUE", "BBR_LOG_TIMERSTAR", "BBR_LOG_TIMERCANC",
    "BBR_LOG_ENTREC", "BBR_LOG_EXITREC", "BBR_LOG_CWND", "BBR_LOG_BWSAMP", "BBR_LOG_MSGSIZE",
    "BBR_LOG_BBRRTT", "BBR_LOG_JUSTRET", "BBR_LOG_STATE", "BBR_LOG_PKT_EPOCH",
    "BBR_LOG_PERSIST", "TCP_LOG_FLOWEND", "BBR_LOG_RTO", "BBR_LOG_DOSEG_DONE",
    "BBR_LOG_EXIT_GAIN", "BBR_LOG_THRESH_CALC", "TCP_LOG_MAPCHG", "TCP_LOG_USERSEND",
    "BBR_RSM_CLEARED", "BBR_LOG_STATE_TARGET", "BBR_LOG_TIME_EPOCH", "BBR_LOG_TO_PROCESS",
    "BBR_LOG_BBRTSO", "BBR_LOG_HPTSDIAG", "BBR_LOG_LOWGAIN", "BBR_LOG_PROGRESS",
    "TCP_LOG_SOCKET_OPT", "BBR_LOG_TIMERPREP", "BBR_LOG_ENOBUF_JMP", "BBR_LOG_HPTSI_CALC",
    "BBR_LOG_RTT_SHRINKS", "BBR_LOG_BW_RED_EV", "BBR_LOG_REDUCE", "TCP_LOG_RTT",
    "BBR_LOG_SETTINGS_CHG", "BBR_LOG_SRTT_GAIN_EVENT", "TCP_LOG_REASS", "TCP_HDWR_PACE_SIZE",
    "BBR_LOG_HDWR_PACE", "BBR_LOG_TSTMP_VAL", "TCP_LOG_CONNEND", "TCP_LOG_LRO",
    "TCP_SACK_FILTER_RES", "TCP_SAD_DETECTION", "TCP_TIMELY_WORK", "TCP_LOG_USER_EVENT",
    "TCP_LOG_SENDFILE", "TCP_LOG_HTTP_T", "TCP_LOG_ACCOUNTING", "TCP_LOG_FSB",
}
local event_names = {}
for id, name in ipairs(kernel_event_names) do
    event_names[id] = (name:gsub("^TCP_LOG_", ""):gsub("^BBR_LOG_", "")):lower()
end

local state_names = {
    [0] = "CLOSED", "LISTEN", "SYN_SENT", "SYN_RECEIVED", "ESTABLISHED", "CLOSE_WAIT",
    "FIN_WAIT_1", "CLOSING", "LAST_ACK", "FIN_WAIT_2", "TIME_WAIT",
}

local block_names = { [SUB_EVENT] = "event", [SUB_GAP] = "gap" }

-- "rto (3)"; the number alone for an id without a name. Made once for
-- every id a record can hold (one byte).
local event_labels = {}
for id = 0, 255 do
    local name = event_names[id]
    event_labels[id] = name and string.format("%s (%u)", name, id) or tostring(id)
end

-- Stack ids and names from a text such as "quarn_dumper records; stacks
-- 2=rack 0=freebsd" (an interface description) or "2=rack 0=freebsd" (the
-- preference), added to `into` where it has no name yet.
local function parse_stacks(text, into)
    if not text then return into end
    local list = text:match("stacks%s+(.*)$") or text
    for id, name in list:gmatch("(%d+)=([^%s,;]+)") do
        id = tonumber(id)
        if id and id < 256 and not into[id] then into[id] = name end
    end
    return into
end

----------------------------------------------------------------------------
-- Fields

local f = {}
local field_list = {}
local function field(key, pf)
    f[key] = pf
    field_list[#field_list + 1] = pf
    return pf
end

field("block", ProtoField.string("quarn.block", "Block"))
field("subtype", ProtoField.uint32("quarn.subtype", "Block subtype", base.DEC, block_names))
field("missing", ProtoField.uint32("quarn.missing", "Records missing"))
field("gap", ProtoField.uint32("quarn.gap", "Records missing (gap block)"))
field("stem", ProtoField.string("quarn.stem", "Connection (dump file stem)"))
field("time", ProtoField.relative_time("quarn.time", "Record time (producer clock)"))
field("ticks", ProtoField.uint32("quarn.ticks", "Kernel ticks"))
field("serial", ProtoField.uint32("quarn.serial", "Serial"))
field("stack_id", ProtoField.uint8("quarn.stack_id", "Stack id"))
field("stack", ProtoField.string("quarn.stack", "Stack"))
field("event_id", ProtoField.uint8("quarn.event_id", "Event id", base.DEC, event_names))
field("event", ProtoField.string("quarn.event", "Event"))
field("flags", ProtoField.uint16("quarn.flags", "Record flags", base.HEX))
local record_flag_bits = {
    { "flag_rxbuf", ProtoField.bool("quarn.flags.rxbuf", "Receive buffer valid", 16, nil, 0x0001) },
    { "flag_txbuf", ProtoField.bool("quarn.flags.txbuf", "Send buffer valid", 16, nil, 0x0002) },
    { "flag_th", ProtoField.bool("quarn.flags.tcp_header", "TCP header", 16, nil, 0x0004) },
    { "flag_verbose", ProtoField.bool("quarn.flags.verbose", "Verbose record", 16, nil, 0x0008) },
    { "flag_stackinfo", ProtoField.bool("quarn.flags.stackinfo", "Stack part valid", 16, nil, 0x0010) },
}
for _, b in ipairs(record_flag_bits) do field(b[1], b[2]) end

-- Every TF_ bit of the control block flags (offset 68), as FreeBSD names
-- them; quarn.t_flags_names joins the names of the bits set with "|".
local tf_names = {
    [0x1] = "ACKNOW", [0x2] = "DELACK", [0x4] = "NODELAY", [0x8] = "NOOPT", [0x10] = "SENTFIN",
    [0x20] = "REQ_SCALE", [0x40] = "RCVD_SCALE", [0x80] = "REQ_TSTMP", [0x100] = "RCVD_TSTMP",
    [0x200] = "SACK_PERMIT", [0x400] = "NEEDSYN", [0x800] = "NEEDFIN", [0x1000] = "NOPUSH",
    [0x2000] = "PREVVALID", [0x4000] = "WAKESOR", [0x8000] = "GPUTINPROG",
    [0x10000] = "MORETOCOME", [0x20000] = "LQ_OVERFLOW", [0x40000] = "LASTIDLE",
    [0x80000] = "RXWIN0SENT", [0x100000] = "FASTRECOVERY", [0x200000] = "WASFRECOVERY",
    [0x400000] = "SIGNATURE", [0x800000] = "FORCEDATA", [0x1000000] = "TSO", [0x2000000] = "TOE",
    [0x4000000] = "UNUSED0", [0x8000000] = "UNUSED1", [0x10000000] = "UNUSED2",
    [0x20000000] = "CONGRECOVERY", [0x40000000] = "WASCRECOVERY", [0x80000000] = "FASTOPEN",
}

local function tf_text(v)
    local names = {}
    local bit = 1
    for _ = 1, 32 do
        if v % (2 * bit) >= bit then names[#names + 1] = tf_names[bit] end
        bit = bit * 2
    end
    return table.concat(names, "|")
end

-- Record bytes 28 to 155 in offset order: key (the field's name after
-- "quarn."), offset, label, extra. A `flag` entry is shown only when that
-- record flag makes it valid. tcb_flags and t_flags, flags2 and t_flags2
-- are the same bytes under their old and their current name.
local tcb_flag_bits = {
    { "acknow", 0x1, "ACKNOW" }, { "delack", 0x2, "DELACK" }, { "nodelay", 0x4, "NODELAY" },
    { "sentfin", 0x10, "SENTFIN" }, { "sack_permit", 0x200, "SACK_PERMIT" },
    { "fastrecovery", 0x100000, "FASTRECOVERY" }, { "wasfrecovery", 0x200000, "WASFRECOVERY" },
    { "tso", 0x1000000, "TSO" }, { "congrecovery", 0x20000000, "CONGRECOVERY" },
    { "wascrecovery", 0x40000000, "WASCRECOVERY" }, { "fastopen", 0x80000000, "FASTOPEN" },
}
local record_fields = {
    { "errno", 28, "Error", signed = true },
    { "rxbuf_acc", 32, "Receive buffer: bytes available", flag = FLAG_RXBUF },
    { "rxbuf_ccc", 36, "Receive buffer: bytes claimed", flag = FLAG_RXBUF },
    { "txbuf_acc", 44, "Send buffer: bytes available", flag = FLAG_TXBUF },
    { "txbuf_ccc", 48, "Send buffer: bytes claimed", flag = FLAG_TXBUF },
    { "state", 56, "TCP state", signed = true, names = state_names },
    { "starttime", 60, "Connection start (ticks)" },
    { "iss", 64, "Initial send sequence number" },
    { "tcb_flags", 68, "Control block flags", hex = true, bits = tcb_flag_bits },
    { "t_flags", 68, "Control block flags (t_flags)", hex = true },
    { "snd_una", 72, "Oldest unacknowledged sequence number (snd_una)" },
    { "snd_max", 76, "Highest sequence number sent (snd_max)" },
    { "cwnd", 80, "Congestion window (bytes)" },
    { "snd_nxt", 84, "Next sequence number to send (snd_nxt)" },
    { "snd_recover", 88, "Recovery point (snd_recover)" },
    { "snd_wnd", 92, "Peer's advertised window (bytes)" },
    { "ssthresh", 96, "Slow-start threshold (bytes)" },
    { "srtt", 100, "Smoothed RTT (raw, unit of the stack)" },
    { "rttvar", 104, "RTT variance (raw, unit of the stack)" },
    { "rcv_up", 108, "Receive urgent pointer" },
    { "rcv_adv", 112, "Highest window edge advertised" },
    { "flags2", 116, "More control block flags", hex = true },
    { "t_flags2", 116, "More control block flags (t_flags2)", hex = true },
    { "rcv_nxt", 120, "Next sequence number expected (rcv_nxt)" },
    { "rcv_wnd", 124, "Receive window (bytes)" },
    { "dupacks", 128, "Consecutive duplicate ACKs" },
    { "segqlen", 132, "Segments in the reassembly queue", signed = true },
    { "sack_holes", 136, "SACK holes", signed = true },
    { "flex1", 140, "Event-specific value 1" },
    { "flex2", 144, "Event-specific value 2" },
    { "fbyte_in", 148, "Time of the first byte received" },
    { "fbyte_out", 152, "Time of the first byte sent" },
}
for _, d in ipairs(record_fields) do
    local abbr = "quarn." .. d[1]
    if d.signed then
        d.pf = field(d[1], ProtoField.int32(abbr, d[3], base.DEC, d.names))
    else
        d.pf = field(d[1], ProtoField.uint32(abbr, d[3], d.hex and base.HEX or base.DEC))
    end
    for _, bit in ipairs(d.bits or {}) do
        bit.pf = field(d[1] .. "." .. bit[1],
            ProtoField.bool(abbr .. "." .. bit[1], bit[3], 32, nil, bit[2]))
    end
end
field("t_flags_names", ProtoField.string("quarn.t_flags_names", "Control block flags set (TF_ names)"))
field("snd_scale", ProtoField.uint8("quarn.snd_scale", "Send window scale", base.DEC, nil, 0x0F))
field("rcv_scale", ProtoField.uint8("quarn.rcv_scale", "Receive window scale", base.DEC, nil, 0xF0))
field("srtt_ms", ProtoField.double("quarn.srtt_ms", "Smoothed RTT (ms)"))
field("rttvar_ms", ProtoField.double("quarn.rttvar_ms", "RTT variance (ms)"))
field("stackinfo", ProtoField.bytes("quarn.stackinfo", "Stack-specific part (not decoded)"))
field("payload_len", ProtoField.uint32("quarn.payload_len", "Payload length"))
field("rack_rtt", ProtoField.uint32("quarn.rack_rtt", "RACK RTT (µs)"))
field("rack_rtt_ms", ProtoField.double("quarn.rack_rtt_ms", "RACK RTT (ms)"))
field("rack_state", ProtoField.uint8("quarn.rack_state", "RACK state"))

-- The BBR part: name, offset from 160, width in bytes.
local bbr_fields = {
    { "cur_del_rate", 0, 8 }, { "del_rate", 8, 8 }, { "rtt_prop", 16, 8 }, { "bw_inuse", 24, 8 },
    { "inflight", 32, 4 }, { "applimited", 36, 4 }, { "delivered", 40, 4 },
    { "timestamp", 44, 4 }, { "epoch", 48, 4 }, { "lt_epoch", 52, 4 }, { "pkts_out", 56, 4 },
    { "flex1", 60, 4 }, { "flex2", 64, 4 }, { "flex3", 68, 4 }, { "flex4", 72, 4 },
    { "flex5", 76, 4 }, { "flex6", 80, 4 }, { "lost", 84, 4 }, { "pacing_gain", 88, 2 },
    { "cwnd_gain", 90, 2 }, { "flex7", 92, 2 }, { "bbr_state", 94, 1 }, { "bbr_substate", 95, 1 },
    { "inhpts", 96, 1 }, { "ininput", 97, 1 }, { "use_lt_bw", 98, 1 }, { "flex8", 99, 1 },
    { "pkt_epoch", 100, 4 },
}
local uint_field = { [1] = ProtoField.uint8, [2] = ProtoField.uint16, [4] = ProtoField.uint32,
                     [8] = ProtoField.uint64 }
local uint_format = { [1] = "B", [2] = "I2", [4] = "I4", [8] = "E" }
for _, d in ipairs(bbr_fields) do
    local key = "bbr_" .. d[1]
    d.pf = field(key, uint_field[d[3]]("quarn." .. key, "BBR " .. d[1]))
end

quarn.fields = field_list

local ef_gap = ProtoExpert.new("quarn.gap.expert", "Records missing",
                               expert.group.SEQUENCE, expert.severity.WARN)
local ef_short = ProtoExpert.new("quarn.short.expert", "Block too short for its record",
                                 expert.group.MALFORMED, expert.severity.ERROR)
local ef_damaged = ProtoExpert.new("quarn.damaged.expert", "File damaged or cut short",
                                   expert.group.MALFORMED, expert.severity.ERROR)
quarn.experts = { ef_gap, ef_short, ef_damaged }

quarn.prefs.read_files = Pref.bool("Read quarn_dumper files with this plugin", true,
    "Open the daemon's dumps and joined files with the plugin's own reader, which keeps each "
    .. "packet's log record for the decoder. Off: Wireshark's pcapng reader (no record on packets).")
quarn.prefs.read_all = Pref.bool("Also read timelines and rewritten files with this plugin", false,
    "Open timelines and files that editcap or mergecap wrote with the plugin's reader too: their "
    .. "packets keep their records, but tshark -w can then not write them.")
quarn.prefs.stacks = Pref.string("Stack names", "",
    "Stack ids and names, e.g. \"0=freebsd 2=rack\", for records whose file names "
    .. "no stack (the file's own names come first)")
quarn.prefs.hz = Pref.uint("Kernel tick rate (Hz)", 1000,
    "The tick rate that turns the base stack's srtt and rttvar into milliseconds "
    .. "(FreeBSD's default kern.hz is 1000)")

----------------------------------------------------------------------------
-- Record decoder

local function order(little) return little and "<" or ">" end

-- Formats the reader uses for every block, made once for each byte order.
local FORMATS = {}
for _, little in ipairs({ true, false }) do
    local E = order(little)
    FORMATS[little] = { u32 = E .. "I4", head = E .. "I4I4", epb = E .. "I4I4I4I4I4",
                        option = E .. "I2I2I4I4", option_head = E .. "I2I2",
                        -- A block's type and length and, for a packet block,
                        -- its interface, time and lengths.
                        block = E .. "I4I4I4I4I4I4I4",
                        -- What follows a packet's data in the daemon's packet
                        -- block: the record option's code, length, enterprise
                        -- number and subtype, the record's serial; the code and
                        -- length of a 4-byte option (the packet flags) and the
                        -- end of options, or the end of options and the
                        -- block's closing length.
                        record_tail = E .. "I2I2I4I4x20I4x244I2I2x4I2I2I4",
                        record_tail_short = E .. "I2I2I4I4x20I4x244I2I2I4",
                        -- The daemon's event block after its first 4 words: the
                        -- record option's code, length, enterprise number and
                        -- subtype; the record's time (seconds and microseconds
                        -- as 32-bit halves, the high one signed, in the file's
                        -- order) and serial; the end of options and the closing
                        -- length.
                        event_tail = E .. (little and "I2I2I4I4I4i4I4i4x4I4x244I2I2I4"
                                                   or "I2I2I4I4i4I4i4I4x4I4x244I2I2I4"),
                        -- A record's serial, stack, event, state and cwnd.
                        summary = E .. "x20I4BBx30i4x20I4" }
end

-- Stacks named by the file (reader section or interface description), then
-- by the preference, whose names are parsed when Wireshark says the
-- preferences changed (reading a preference costs about as much as the
-- rest of an event's Info text).
local pref_stack_names = {}
local info_stack
local function stack_name(stacks, id)
    local name = stacks and stacks[id]
    if name then return name end
    return pref_stack_names[id]
end

local function base_stack(name) return name == "default" or name == "freebsd" end

-- The Info text of an event: serial, stack, event, state and cwnd of the
-- record that starts at `pos` (1-based) of the string `rec`.
-- It is one string.format (Lua turns a number into a string slower by
-- concatenation) of pieces made once: the format per event id ("Event rto
-- (3), serial %u%s%s%u"), ", stack 2 rack, " per table of stack names and
-- id, the state's name followed by ", cwnd ".
local info_event = {}
for id = 0, 255 do info_event[id] = "Event " .. event_labels[id]:gsub("%%", "%%%%") .. ", serial %u%s%s%u" end
local info_state = setmetatable({}, { __index = function(t, state)
    local text = (state_names[state] or ("state " .. state)) .. ", cwnd "
    t[state] = text
    return text
end })
-- Tables of stack names -> id -> text; emptied when names change.
local function forget_stack_texts() info_stack = setmetatable({}, { __mode = "k" }) end
forget_stack_texts()
function quarn.prefs_changed()
    pref_stack_names = parse_stacks(quarn.prefs.stacks, {})
    forget_stack_texts()
end
local function stack_text(stacks, id)
    local key = stacks or info_event
    local texts = info_stack[key]
    if not texts then
        texts = {}
        info_stack[key] = texts
    end
    local text = texts[id]
    if not text then
        local name = stack_name(stacks, id)
        text = ", stack " .. id .. (name and (" " .. name) or "") .. ", "
        texts[id] = text
    end
    return text
end

local function event_info(rec, pos, little, stacks)
    local serial, stack_id, event_id, state, cwnd = Struct.unpack(FORMATS[little].summary, rec, pos)
    return string.format(info_event[event_id], serial, stack_text(stacks, stack_id), info_state[state], cwnd)
end

-- Adds the fields of the record at `pos` (1-based) of the string `rec` (at
-- least 264 bytes; 268 with the payload length) to `tree`. The record is
-- in the byte order of the host that logged it, which wrote the file:
-- `little` is the file's. With `tvb`, where the record starts at `toff`,
-- each field points at its bytes (a tree someone looks at); without, the
-- fields carry their values only, which is what filters and columns need
-- and costs a fraction.
local function decode_record(rec, pos, little, tree, tvb, toff, stacks)
    local E = order(little)
    local function value(o, fmt) return (Struct.unpack(E .. fmt, rec, pos + o)) end
    local add
    if tvb then
        add = function(pf, o, len, v) return tree:add(pf, tvb(toff + o, len), v) end
    else
        add = function(pf, _, _, v) return tree:add(pf, v) end
    end

    local sec, usec = value(0, "e"), value(8, "e")
    add(f.time, 0, 16, NSTime.new(sec:tonumber(), usec:tonumber() * 1000))
    local ticks, serial, stack_id, event_id, flags = Struct.unpack(E .. "I4I4BBI2", rec, pos + 16)
    add(f.ticks, 16, 4, ticks)
    add(f.serial, 20, 4, serial)
    add(f.stack_id, 24, 1, stack_id)
    local stack = stack_name(stacks, stack_id)
    if stack then add(f.stack, 24, 1, stack) end
    add(f.event_id, 25, 1, event_id)
    if event_names[event_id] then add(f.event, 25, 1, event_names[event_id]) end
    local ft = add(f.flags, 26, 2, flags)
    for _, b in ipairs(record_flag_bits) do
        if tvb then ft:add(b[2], tvb(toff + 26, 2), flags) else ft:add(b[2], flags) end
    end
    local v = {}
    for _, d in ipairs(record_fields) do
        if not d.flag or bit32.band(flags, d.flag) ~= 0 then
            v[d[1]] = value(d[2], d.signed and "i4" or "I4")
            local item = add(d.pf, d[2], 4, v[d[1]])
            for _, b in ipairs(d.bits or {}) do
                if tvb then item:add(b.pf, tvb(toff + d[2], 4), v[d[1]]) else item:add(b.pf, v[d[1]]) end
            end
        end
    end
    add(f.t_flags_names, 68, 4, tf_text(v.t_flags))
    local scales = value(156, "B")
    add(f.snd_scale, 156, 1, scales)
    add(f.rcv_scale, 156, 1, scales)
    if base_stack(stack) then
        -- The base stack keeps srtt in ticks x 32 and rttvar in ticks x 16.
        local hz = quarn.prefs.hz > 0 and quarn.prefs.hz or 1000
        add(f.srtt_ms, 100, 4, v.srtt / 32 * 1000 / hz):set_generated()
        add(f.rttvar_ms, 104, 4, v.rttvar / 16 * 1000 / hz):set_generated()
    end

    local stack_part = bit32.band(flags, FLAG_STACKINFO) ~= 0 and stack or nil
    if stack_part == "rack" then
        local rtt = value(160, "I4")
        add(f.rack_rtt, 160, 4, rtt)
        add(f.rack_rtt_ms, 160, 4, rtt / 1000):set_generated()
        add(f.rack_state, 164, 1, value(164, "B"))
    elseif stack_part == "bbr" then
        for _, d in ipairs(bbr_fields) do add(d.pf, 160 + d[2], d[3], value(160 + d[2], uint_format[d[3]])) end
    elseif tvb then
        tree:add(f.stackinfo, tvb(toff + 160, 104))
    else
        tree:add(f.stackinfo, ByteArray.new(rec:sub(pos + 160, pos + 263), true))
    end
    if #rec - pos + 1 >= RECORD_BYTES then add(f.payload_len, 264, 4, value(264, "I4")) end
end

----------------------------------------------------------------------------
-- Blocks: event and gap, as custom block frames or user link type frames

-- The record option of an event block in the string `s`, whose subtype is
-- at `from` (1-based) and whose options end before `to`: the position of
-- the record, or nil.
local function find_record(s, from, to, little)
    local E = order(little)
    local pos = from + 4
    while pos + 3 < to do
        local code, len = Struct.unpack(E .. "I2I2", s, pos)
        if code == 0 then return nil end
        local padded = len + (4 - len % 4) % 4
        if pos + 3 + padded >= to then return nil end
        if (code == OPT_CUSTOM or code == OPT_CUSTOM_NOCOPY) and len == RECORD_OPT_LEN then
            local pen, sub = Struct.unpack(E .. "I4I4", s, pos + 4)
            if pen == PEN and sub == OPT_SUB_RECORD then return pos + 12 end
        end
        pos = pos + 4 + padded
    end
    return nil
end

-- What the reader delivered last, and how many of its files are open.
-- Wireshark and tshark dissect the frames of one file at a time, each right
-- after reading it, in the first pass and whenever they read it again at its
-- offset: while a file of the reader is open, this is the frame being
-- dissected, and is not checked against the frame's length and time (two
-- more calls into Wireshark for every frame).
local current = nil
local files_open = 0

local function reader_entry()
    if files_open > 0 then return current end
    return nil
end

-- Field extractors, made by the reader's open routine for a file that it
-- leaves to Wireshark's reader (see the file's opening lines).
local fx = nil
local register_post
local function make_extractors()
    if fx then return end
    register_post()
    local made = {}
    for key, name in pairs({ pen = "frame.cb_pen", comment = "frame.comment",
                             if_name = "frame.interface_name",
                             if_desc = "frame.interface_description" }) do
        local ok, extractor = pcall(Field.new, name)
        if ok then made[key] = extractor end
    end
    fx = made
end

local function extract(key)
    local x = fx and fx[key]
    local v = x and x()
    return v and tostring(v.value) or nil
end

-- Who a frame belongs to: its connection's stem and the stacks its records
-- name. From the reader's interface for frames it read; from the frame's
-- interface for Wireshark's (a timeline names each interface after its
-- connection, and describes the records interface with its stacks).
local function frame_origin(c)
    if c then return c.iface and c.iface.stem, c.stacks end
    local name = extract("if_name")
    local stem = name and name ~= "quarn" and name ~= "" and name or nil
    local stacks = nil
    local desc = extract("if_desc")
    if desc then stacks = parse_stacks(desc, {}) end
    return stem, stacks
end

-- The subtype is 1 or 2: its first bytes tell the byte order of the block.
local function block_order(tvb)
    if tvb:len() < 4 then return nil end
    local le = tvb(0, 4):le_uint()
    if le == SUB_EVENT or le == SUB_GAP then return true end
    local be = tvb(0, 4):uint()
    if be == SUB_EVENT or be == SUB_GAP then return false end
    return nil
end

local function has_tree(tree) return tree.text ~= nil end

local function dissect_fault(c, tvb, pinfo, tree)
    pinfo.cols.protocol = "quarn"
    pinfo.cols.info = c.fault
    local t = tree:add(quarn, tvb(), "quarn_dumper file damaged")
    t:add(f.block, "damaged"):set_generated()
    t:add_proto_expert_info(ef_damaged, c.fault)
end

local function dissect_block(tvb, pinfo, tree, little, c)
    local cols = pinfo.cols
    cols.protocol = "quarn"
    -- A frame of this reader holds the bytes it read.
    local raw = c and c.data or tvb:raw()
    local sub = Struct.unpack(FORMATS[little].u32, raw, 1)
    local stem, stacks = frame_origin(c)
    local full = has_tree(tree)
    local t
    if full then
        t = tree:add(quarn, tvb(), "quarn_dumper " .. block_names[sub] .. " block")
        t:add(f.subtype, tvb(0, 4), sub)
        t:add(f.block, tvb(0, 4), block_names[sub])
        if stem then t:add(f.stem, stem):set_generated() end
    end
    if sub == SUB_GAP then
        if #raw < 8 then
            if full then t:add_proto_expert_info(ef_short) end
            return
        end
        local missing = Struct.unpack(order(little) .. "I4", raw, 5)
        if full then
            local r = tvb(4, 4)
            t:add(f.missing, r, missing)
            t:add(f.gap, r, missing)
            t:add_tvb_expert_info(ef_gap, r, string.format("%u records missing", missing))
        end
        -- A timeline names the parts a jump lies between in the comment.
        local comment = c and c.comments and c.comments[1] or (not c and extract("comment"))
        cols.info = comment and ("Gap: " .. comment)
                    or string.format("Gap: %u records missing", missing)
        return
    end
    local rec = c and c.record_at or find_record(raw, 1, #raw + 1, little)
    if not rec then
        if full then t:add_proto_expert_info(ef_short) end
        cols.info = "Event without record bytes"
        return
    end
    cols.info = event_info(raw, rec, little, stacks)
    if full then decode_record(raw, rec, little, t, t.visible and tvb or nil, rec - 1, stacks) end
end

-- Frames of the user link type: events and gaps of a timeline, or of a dump
-- read by this file's reader. Anything else goes on to Wireshark's own
-- handling of that link type.
local user_dlt = Dissector.get("user_dlt")
local function ours(tvb, little)
    if little == nil then return false end
    local sub = little and tvb(0, 4):le_uint() or tvb(0, 4):uint()
    if sub == SUB_GAP then return tvb:len() == 12 end
    local raw = tvb:raw()
    return find_record(raw, 1, #raw + 1, little) ~= nil
end

-- The frame the user link type dissector took, so that the postdissector
-- (when there is one) leaves it alone.
local taken = nil
local post_registered = false

-- Packet frames of this reader. While one of its files is open, the
-- dissector of every link type its packet interfaces have (Null/Loopback
-- for the daemon's) in the "wtap_encap" table is this file's, which hands
-- the frame to Wireshark's dissector of that link type and then adds the
-- packet's record when a tree is built. A postdissector would do the same
-- at a higher cost, and on every frame.
--
-- A pass of sequential reading builds a tree for every frame or for none
-- (tshark and Wireshark decide it once per pass). When it builds none, the
-- record is of no use: the first packet frame without a tree makes the
-- next read give Wireshark's dissectors back, which spares every later
-- packet frame a call into Lua. A frame is dissected again (a second pass,
-- a frame Wireshark shows) through the same dissectors as the first time,
-- since dissectors such as TCP's keep what they learnt of a frame under
-- the number of protocol layers below them: a read at an offset takes the
-- link types over only for the one packet frame that went through this
-- file's dissector in such a pass; the others get their record from the
-- postdissector. Wireshark's dissectors all come back when the reader's
-- last open file closes.
local encap_table = DissectorTable.get("wtap_encap")
local encap_wanted = {}     -- link types of the reader's packet interfaces
local wireshark_encap = {}  -- link type -> Wireshark's dissector, while taken over
local packets_taken = false -- the link types in encap_wanted are taken over
local sequential = false    -- the frame being dissected came from a sequential read
local tree_less = false     -- a sequentially read packet frame had no tree: at
local tree_less_at = nil    -- this offset, the last one through this file's dissector
local given_back = false    -- the sequential reading gave the packets back

local function take_over(encap)
    local d = encap_table:get_dissector(encap)
    if not d then return end
    wireshark_encap[encap] = d
    encap_table:add(encap, quarn)
end

local function take_packets(yes)
    if yes == packets_taken then return end
    packets_taken = yes
    if yes then
        for encap in pairs(encap_wanted) do take_over(encap) end
    else
        for encap, d in pairs(wireshark_encap) do encap_table:add(encap, d) end
        wireshark_encap = {}
    end
end

-- A packet interface of link type `encap` in a file the reader reads.
local function want_encap(encap)
    if files_open == 0 or encap == wtap_encaps.USER0 or encap_wanted[encap] then return end
    encap_wanted[encap] = true
    if packets_taken then take_over(encap) end
end

-- Before each frame is read: `offset` for a read at an offset, nil for a
-- sequential one.
local function before_read(offset)
    sequential = offset == nil
    if sequential then
        if tree_less then given_back = true end
        take_packets(not given_back)
    else
        if given_back then register_post() end
        take_packets(not given_back or offset == tree_less_at)
    end
end

-- The packet's record is the string c.record from position c.record_at
-- on (the reader's buffer, for the daemon's packet blocks).
local function add_packet_record(c, tree)
    local stem = c.iface and c.iface.stem
    local rec, at = c.record, c.record_at
    if tree.visible then
        local rtvb = ByteArray.new(rec:sub(at, at + RECORD_BYTES - 1), true):tvb("quarn log record")
        local t = tree:add(quarn, rtvb(), "quarn_dumper packet record")
        t:add(f.block, "packet"):set_generated()
        if stem then t:add(f.stem, stem):set_generated() end
        decode_record(rec, at, c.sec.little, t, rtvb, 0, c.stacks)
    else
        local t = tree:add(quarn, "quarn_dumper packet record")
        t:add(f.block, "packet")
        if stem then t:add(f.stem, stem) end
        decode_record(rec, at, c.sec.little, t, nil, 0, c.stacks)
    end
end

local dissector_call = Dissector.call

function quarn.dissector(tvb, pinfo, tree)
    local c = reader_entry()
    if c and c.kind == "packet" then
        -- A packet Wireshark finds malformed has been marked so when the
        -- call fails; its record is added all the same.
        local ok, n = pcall(dissector_call, wireshark_encap[c.encap], tvb, pinfo, tree)
        if has_tree(tree) then
            if c.record then add_packet_record(c, tree) end
            if post_registered then taken = pinfo.number end
        elseif sequential and not tree_less then
            tree_less, tree_less_at = true, c.pos
        end
        return ok and n or tvb:len()
    end
    if c and c.fault then
        if post_registered then taken = pinfo.number end
        dissect_fault(c, tvb, pinfo, tree)
        return tvb:len()
    end
    local little = c and c.sec.little
    if little == nil then little = block_order(tvb) end
    -- A custom block the reader turned into this frame is ours for sure.
    if not (c and c.kind == "block" and not c.iface) and not ours(tvb, little) then
        return user_dlt:call(tvb, pinfo, tree)
    end
    if post_registered then taken = pinfo.number end
    dissect_block(tvb, pinfo, tree, little, c)
    return tvb:len()
end
encap_table:add(wtap_encaps.USER0, quarn)

-- Files that Wireshark's pcapng reader reads: custom block frames are found
-- by their enterprise number; packets of a timeline get their connection's
-- stem. Packet frames of the reader read again after their link type went
-- back to Wireshark's dissector get their record. Registered when the
-- reader leaves a file of ours to Wireshark's (make_extractors) or reads a
-- frame again after such a pass, since Wireshark calls a postdissector on
-- every frame of every file from then on.
local post = Proto("quarn_post", "quarn_dumper records of packet and custom blocks")
function post.dissector(tvb, pinfo, tree)
    if taken == pinfo.number then
        taken = nil
        return
    end
    local c = reader_entry()
    if c then
        if c.kind == "packet" and c.record and has_tree(tree) then add_packet_record(c, tree) end
        return
    end
    local pen = extract("pen")
    if pen then
        if tonumber(pen) ~= PEN then return end
        local little = block_order(tvb)
        if little ~= nil then dissect_block(tvb, pinfo, tree, little, nil) end
        return
    end
    if not has_tree(tree) then return end
    local stem = frame_origin(nil)
    if stem then tree:add(quarn, "quarn_dumper connection"):add(f.stem, stem):set_generated() end
end
register_post = function()
    if post_registered then return end
    register_postdissector(post)
    post_registered = true
end

----------------------------------------------------------------------------
-- File reader

local function pad4(n) return (4 - n % 4) % 4 end

-- The options of a block in `s` between positions `from` and `to`, as
-- {code, value} pairs; stops at the end of options or at a length that
-- runs past `to`.
local function options(s, from, to, little)
    local E = order(little)
    local out = {}
    local pos = from
    while pos + 3 < to do
        local code, len = Struct.unpack(E .. "I2I2", s, pos)
        if code == 0 or pos + 3 + len >= to then break end
        out[#out + 1] = { code, s:sub(pos + 4, pos + 3 + len) }
        pos = pos + 4 + len + pad4(len)
    end
    return out
end

-- Subtype and payload of one of our custom options, or nil.
local function our_option(o, little)
    local v = o[2]
    if (o[1] ~= OPT_CUSTOM and o[1] ~= OPT_CUSTOM_NOCOPY) or #v < 8 then return nil end
    local pen, sub = Struct.unpack(order(little) .. "I4I4", v, 1)
    if pen ~= PEN then return nil end
    return sub, v:sub(9)
end

-- The type, length and byte order of the block whose first 12 bytes are at
-- `pos` of `s` (a section header tells its own order), or nil and what is
-- wrong with it.
local function block_head(s, pos, little)
    local btype = Struct.unpack("<I4", s, pos)
    if btype == BT_SHB then
        if Struct.unpack("<I4", s, pos + 8) == BYTE_ORDER_MAGIC then
            little = true
        elseif Struct.unpack(">I4", s, pos + 8) == BYTE_ORDER_MAGIC then
            little = false
        else
            return nil, "has no byte-order magic"
        end
    elseif little == false then
        btype = Struct.unpack(">I4", s, pos)
    end
    local len = Struct.unpack(order(little) .. "I4", s, pos + 4)
    if len < 12 or len % 4 ~= 0 or len > MAX_BLOCK then return nil, "has a length of " .. len end
    return btype, len, little
end

local function damage(at, what) return string.format("quarn: block at offset %d %s", at, what) end

-- Reads the block at the file's position whole: its type, its bytes and
-- the byte order. nil at the end of the file; nil and what is wrong for a
-- block that is cut short or does not hold together.
local function read_block(file, little)
    local at = file:seek("cur")
    local head = file:read(12)
    if not head or #head == 0 then return nil end
    if #head < 12 then return nil, damage(at, "cut short") end
    local btype, len, order_or_why = block_head(head, 1, little)
    if not btype then return nil, damage(at, len) end
    local b = head
    if len > 12 then
        local rest = file:read(len - 12)
        if not rest or #rest < len - 12 then return nil, damage(at, "cut short") end
        b = head .. rest
    end
    if Struct.unpack(order(order_or_why) .. "I4", b, len - 3) ~= len then
        return nil, damage(at, "ends with another length")
    end
    return btype, b, order_or_why
end

local linktype_encap = {
    [0] = wtap_encaps.NULL, [1] = wtap_encaps.ETHERNET, [101] = wtap_encaps.RAW_IP,
    [108] = wtap_encaps.LOOP, [113] = wtap_encaps.SLL, [228] = wtap_encaps.RAW_IP4,
    [229] = wtap_encaps.RAW_IP6, [LINKTYPE_USER0] = wtap_encaps.USER0,
}

-- A section: byte order, stack names, interfaces, the log's time offset;
-- `ours` when the daemon's options are there, `rewritten` when a program
-- named itself (Wireshark's tools do, the daemon and quarn_inspect do not).
local function new_section(s, pos, len, little)
    local sec = { little = little, formats = FORMATS[little], stacks = {}, ifaces = {}, nif = 0,
                  ours = false }
    local E = order(little)
    for _, o in ipairs(options(s, pos + 24, pos + len - 4, little)) do
        local sub, v = our_option(o, little)
        if sub then
            sec.ours = true
            if sub == OPT_SUB_LOG_HEADER and #v >= LOG_HEADER_BYTES then
                sec.tsoff_sec = Struct.unpack(E .. "e", v, LOG_HEADER_TIME_OFFSET + 1):tonumber()
                sec.tsoff_usec = Struct.unpack(E .. "e", v, LOG_HEADER_TIME_OFFSET + 9):tonumber()
            elseif sub == OPT_SUB_STACK_NAME and #v >= 2 then
                sec.stacks[v:byte(1)] = v:sub(2):match("^[^%z]*")
            end
        elseif o[1] == OPT_SHB_USERAPPL then
            sec.rewritten = true
        end
    end
    return sec
end

-- An interface: link type, time resolution, and for a timeline's the
-- connection's stem (its name) and the stacks of its records.
local function add_interface(sec, s, pos, len)
    local L = sec.little
    local linktype = Struct.unpack(order(L) .. "I2", s, pos + 8)
    local iface = { encap = linktype_encap[linktype] or wtap_encaps.UNKNOWN, tsresol = 6 }
    for _, o in ipairs(options(s, pos + 16, pos + len - 4, L)) do
        local text = o[2]:match("^[^%z]*")
        if o[1] == OPT_IF_TSRESOL and #o[2] >= 1 then
            iface.tsresol = o[2]:byte(1)
        elseif o[1] == OPT_IF_NAME then
            if text ~= "quarn" and text ~= "" then iface.stem = text end
            if linktype == LINKTYPE_USER0 and text == "quarn" then sec.timeline = true end
        elseif o[1] == OPT_IF_DESCRIPTION and linktype == LINKTYPE_USER0
            and text:sub(1, #TIMELINE_RECORDS) == TIMELINE_RECORDS then
            sec.timeline = true
            iface.stacks = parse_stacks(text, {})
            for id, name in pairs(iface.stacks) do
                if not sec.stacks[id] then sec.stacks[id] = name end
            end
        end
    end
    sec.ifaces[sec.nif] = iface
    sec.nif = sec.nif + 1
    if sec.reading then want_encap(iface.encap) end
    -- A new interface may name the stacks of another's frames.
    for _, other in pairs(sec.ifaces) do other.packet = nil end
    forget_stack_texts()
end

-- The stacks a frame of `iface` names: those of the records interface of
-- its connection (a timeline's), else the section's.
local function iface_stacks(sec, iface)
    if iface.stacks then return iface.stacks end
    if iface.stem then
        for _, other in pairs(sec.ifaces) do
            if other.stacks and other.stem == iface.stem then return other.stacks end
        end
    end
    return sec.stacks
end

local UNKNOWN_IFACE = { encap = wtap_encaps.UNKNOWN, tsresol = 6 }

-- A packet block's time in its interface's resolution: seconds and
-- nanoseconds.
local function epb_time(hi, lo, tsresol)
    if tsresol == 6 then
        -- Exact in a double up to 2^53 microseconds (the year 2255).
        local t = hi * 4294967296 + lo
        local secs = math.floor(t / 1e6)
        return secs, (t - secs * 1e6) * 1000
    end
    local t = UInt64.new(lo, hi)
    local per
    if bit32.band(tsresol, 0x80) ~= 0 then
        per = UInt64.new(1):lshift(bit32.band(tsresol, 0x7F))
        local frac = (t % per):tonumber()
        return (t / per):tonumber(), math.floor(frac * 1e9 / per:tonumber())
    end
    per = UInt64.new(10 ^ math.min(tsresol, 19))
    return (t / per):tonumber(), math.floor((t % per):tonumber() * 10 ^ (9 - tsresol))
end

-- A record's time: the section's time offset plus the record time.
local function record_time(sec, rec, pos)
    if not sec.tsoff_sec then return nil end
    local rs, ru = Struct.unpack(order(sec.little) .. "ee", rec, pos)
    local usec = sec.tsoff_usec + ru:tonumber()
    local secs = sec.tsoff_sec + rs:tonumber() + math.floor(usec / 1e6)
    return secs, (usec % 1e6) * 1000
end

-- Turns the block of type `btype` and length `len` at `pos` of `s` into a
-- frame entry: what the frame holds and what the dissectors learn of it.
-- nil for a block that is no frame (an interface is added to the section).
-- A gap's time is left to the caller: it is the next record's.
local function block_entry(sec, s, pos, btype, len)
    local L = sec.little
    local E = order(L)
    if btype == BT_IDB then
        if len >= 20 then add_interface(sec, s, pos, len) end
        return nil
    end
    if btype == BT_EPB and len >= EPB_FIXED + 4 then
        local F = FORMATS[L]
        local ifid, hi, lo, caplen, origlen = Struct.unpack(F.epb, s, pos + 8)
        local iface = sec.ifaces[ifid] or UNKNOWN_IFACE
        local data_end = pos + EPB_FIXED + caplen + pad4(caplen)
        if data_end > pos + len - 4 then return nil end
        local secs, nsecs = epb_time(hi, lo, iface.tsresol)
        -- Every field the entry gets, so that the table is made once.
        local e = { kind = iface.encap == wtap_encaps.USER0 and "block" or "packet", sec = sec,
                    iface = iface, stacks = iface_stacks(sec, iface), encap = iface.encap,
                    data = s:sub(pos + EPB_FIXED, pos + EPB_FIXED + caplen - 1),
                    caplen = caplen, origlen = origlen, secs = secs, nsecs = nsecs,
                    record = false, record_at = false, serial = false, comments = false, gap = false,
                    pos = false, abs = false, order = false }
        -- The options: the record (the daemon's first option) and comments.
        local opt, opt_end = data_end, pos + len - 4
        while opt + 3 < opt_end do
            local code, olen, pen, sub
            if opt + 11 < opt_end then
                code, olen, pen, sub = Struct.unpack(F.option, s, opt)
            else
                code, olen = Struct.unpack(F.option_head, s, opt)
            end
            if code == 0 or opt + 3 + olen >= opt_end then break end
            if (code == OPT_CUSTOM or code == OPT_CUSTOM_NOCOPY) and olen >= 8 + RECORD_BYTES
                and pen == PEN and sub == OPT_SUB_RECORD then
                e.record = s:sub(opt + 12, opt + 3 + olen)
                e.record_at = 1
                e.serial = Struct.unpack(F.u32, s, opt + 12 + 20)
            elseif code == OPT_COMMENT then
                e.comments = e.comments or {}
                e.comments[#e.comments + 1] = s:sub(opt + 4, opt + 3 + olen)
            end
            opt = opt + 4 + olen + pad4(olen)
        end
        if e.kind == "block" and caplen >= 8 then
            -- A timeline's event or gap read by this reader.
            local sub = Struct.unpack(E .. "I4", e.data, 1)
            if sub == SUB_EVENT then
                local rec = find_record(e.data, 1, #e.data + 1, L)
                if rec then e.serial = Struct.unpack(E .. "I4", e.data, rec + 20) end
            end
        end
        return e
    end
    if (btype == BT_CUSTOM or btype == BT_CUSTOM_NOCOPY) and len >= 20
        and Struct.unpack(E .. "I4", s, pos + 8) == PEN then
        -- The bytes after the enterprise number, as a timeline holds them.
        local data = s:sub(pos + 12, pos + len - 5)
        local sub = Struct.unpack(E .. "I4", data, 1)
        local e = { kind = "block", sec = sec, iface = nil, stacks = sec.stacks,
                    encap = wtap_encaps.USER0, data = data, caplen = #data, origlen = #data }
        if sub == SUB_EVENT then
            local rec = find_record(data, 1, #data + 1, L)
            if rec then
                e.serial = Struct.unpack(E .. "I4", data, rec + 20)
                e.secs, e.nsecs = record_time(sec, data, rec)
            end
        elseif sub == SUB_GAP then
            e.gap = true
        else
            return nil
        end
        return e
    end
    return nil
end

-- What follows the data of the daemon's packet block: the record option
-- (code, length, enterprise number, subtype, record), the packet flags
-- (an option of 4 bytes), the end of options and the closing length. The
-- short tail has no flags.
local RECORD_TAIL = 4 + RECORD_OPT_LEN + 8 + 4 + 4
local RECORD_TAIL_SHORT = 4 + RECORD_OPT_LEN + 4 + 4

-- What every packet entry of `iface` shares, as the metatable of its
-- entries; made when first needed, dropped when the section gets another
-- interface (which may name the stacks).
local function packet_meta(sec, iface)
    local m = iface.packet
    if not m then
        m = { __index = { kind = "packet", sec = sec, iface = iface, encap = iface.encap,
                          stacks = iface_stacks(sec, iface) } }
        iface.packet = m
    end
    return m
end

-- The entry of a packet block laid out as the daemon writes it: the data,
-- then the record option and at most one option of 4 bytes that is no
-- comment and no custom option (the packet flags, which no one reads), on
-- an interface of microsecond time that is no timeline's user link type.
-- `btype` to `origlen` are the block's first words, unpacked by the
-- caller. nil for any other block, which block_entry reads option by
-- option (and finds fault with, if it must).
local floor = math.floor
local function daemon_packet(sec, s, pos, btype, len, ifid, hi, lo, caplen, origlen)
    if btype ~= BT_EPB then return nil end
    local iface = sec.ifaces[ifid]
    if not iface or iface.tsresol ~= 6 or iface.encap == wtap_encaps.USER0 then return nil end
    local data_end = pos + EPB_FIXED + caplen + (4 - caplen % 4) % 4
    local code, olen, pen, sub, serial, other, other_len, end_code, end_len, closing
    if data_end + RECORD_TAIL == pos + len then
        code, olen, pen, sub, serial, other, other_len, end_code, end_len, closing =
            Struct.unpack(sec.formats.record_tail, s, data_end)
        if other == 0 or other == OPT_COMMENT or other == OPT_CUSTOM or other == OPT_CUSTOM_NOCOPY
            or other_len ~= 4 then
            return nil
        end
    elseif data_end + RECORD_TAIL_SHORT == pos + len then
        code, olen, pen, sub, serial, end_code, end_len, closing =
            Struct.unpack(sec.formats.record_tail_short, s, data_end)
    else
        return nil
    end
    if (code ~= OPT_CUSTOM and code ~= OPT_CUSTOM_NOCOPY) or olen ~= RECORD_OPT_LEN or pen ~= PEN
        or sub ~= OPT_SUB_RECORD or end_code ~= 0 or end_len ~= 0 or closing ~= len then
        return nil
    end
    -- Microseconds: exact in a double up to 2^53 (the year 2255).
    local t = hi * 4294967296 + lo
    local secs = floor(t / 1e6)
    return setmetatable({ data = s:sub(pos + EPB_FIXED, pos + EPB_FIXED + caplen - 1),
                          caplen = caplen, origlen = origlen, secs = secs,
                          nsecs = (t - secs * 1e6) * 1000,
                          record = s, record_at = data_end + 12,
                          serial = serial, pos = false, order = false },
                        iface.packet or packet_meta(sec, iface))
end

-- The daemon's event block: the subtype, the record option, the end of
-- options; a gap block: the subtype, the count, the end of options.
local EVENT_BLOCK_LEN = 12 + 4 + 4 + RECORD_OPT_LEN + 4 + 4
local GAP_BLOCK_LEN = 12 + 12 + 4
-- Where the record starts in an event frame's data (the bytes after the
-- enterprise number), 1-based.
local EVENT_RECORD_AT = 4 + 12 + 1

-- What every event and gap entry of a section shares, as their metatable.
local function block_meta(sec)
    local m = sec.block_meta
    if not m then
        m = { __index = { kind = "block", sec = sec, stacks = sec.stacks, encap = wtap_encaps.USER0 } }
        sec.block_meta = m
    end
    return m
end

-- The entry of an event or gap block laid out as the daemon writes it,
-- from the block's first words (`btype` to `w7`, unpacked by the caller);
-- nil for any other block. An event's time is its record's, when the
-- section tells the log's time offset.
local function daemon_block(sec, s, pos, btype, len, pen, sub, w5, w6, w7)
    if (btype ~= BT_CUSTOM and btype ~= BT_CUSTOM_NOCOPY) or pen ~= PEN then return nil end
    if sub == SUB_GAP and len == GAP_BLOCK_LEN and w6 == 0 and w7 == len then
        return setmetatable({ data = s:sub(pos + 12, pos + 23), caplen = 12, origlen = 12,
                              gap = true, pos = false }, block_meta(sec))
    end
    if sub ~= SUB_EVENT or len ~= EVENT_BLOCK_LEN then return nil end
    local code, olen, opt_pen, opt_sub, s_a, s_b, u_a, u_b, serial, end_code, end_len, closing =
        Struct.unpack(sec.formats.event_tail, s, pos + 16)
    if (code ~= OPT_CUSTOM and code ~= OPT_CUSTOM_NOCOPY) or olen ~= RECORD_OPT_LEN
        or opt_pen ~= PEN or opt_sub ~= OPT_SUB_RECORD or end_code ~= 0 or end_len ~= 0
        or closing ~= len then
        return nil
    end
    local caplen = len - 16
    local e = setmetatable({ data = s:sub(pos + 12, pos + len - 5), caplen = caplen,
                             origlen = caplen, serial = serial, record_at = EVENT_RECORD_AT,
                             secs = false, nsecs = false, pos = false, order = false },
                           block_meta(sec))
    if sec.tsoff_sec then
        if not sec.little then s_a, s_b, u_a, u_b = s_b, s_a, u_b, u_a end
        -- As record_time: the halves make the same double as the 64-bit
        -- value would.
        local rs, ru = s_b * 4294967296 + s_a, u_b * 4294967296 + u_a
        local usec = sec.tsoff_usec + ru
        e.secs = sec.tsoff_sec + rs + floor(usec / 1e6)
        e.nsecs = (usec % 1e6) * 1000
    else
        e.secs, e.nsecs = nil, nil
    end
    return e
end

local FLAGS_TIMED = wtap_presence_flags.TS + wtap_presence_flags.CAP_LEN
local FLAGS_UNTIMED = wtap_presence_flags.CAP_LEN
local new_nstime = NSTime.new

-- Sets the frame's fields from the entry `e`. In sequential reading
-- Wireshark sets a frame's link type to the file's before each read and
-- keeps the flags of the frame before; so there (`st`, the reader's state,
-- given) the flags are set when they change and the link type when it is
-- not the file's. A read at an offset sets them all.
local function put_frame(frame, e, st)
    local flags = e.secs and FLAGS_TIMED or FLAGS_UNTIMED
    if not st or st.flags ~= flags then
        frame.flags = flags
        if st then st.flags = flags end
    end
    if e.secs then frame.time = new_nstime(e.secs, e.nsecs) end
    if not st or e.encap ~= st.encap then frame.encap = e.encap end
    -- The data sets both lengths to its own.
    frame.data = e.data
    if e.origlen ~= e.caplen then frame.original_length = e.origlen end
    if e.comments then frame.comment = e.comments end
    current = e
end

local function fault_entry(st, pos, what)
    local e = { kind = "fault", fault = what, encap = wtap_encaps.USER0, data = "", caplen = 0,
                origlen = 0, secs = st.last_secs, nsecs = st.last_nsecs, pos = pos }
    st.faults[pos] = e
    return e
end

local reader = FileHandler.new("quarn_dumper pcapng (records kept)", "quarn",
    "pcapng dumps of quarn_dumper, read with each packet's log record", "rms")
reader.extensions = "pcapng"

-- Ours: a section header with options of enterprise number 32473 that no
-- other program rewrote and that is no timeline (both are for Wireshark's
-- reader, which tshark -w can write from), unless quarn.read_all. A file
-- of ours left to Wireshark's reader gets the field extractors that tell
-- the interface of each frame.
function reader.read_open(file, capture)
    local btype, b, little = read_block(file, nil)
    if btype ~= BT_SHB then return false end
    local sec = new_section(b, 1, #b, little)
    while true do
        local bt, ib = read_block(file, little)
        if bt ~= BT_IDB then break end
        add_interface(sec, ib, 1, #ib)
    end
    if not sec.ours and not sec.timeline then return false end
    local claim = quarn.prefs.read_files and sec.ours
                  and (quarn.prefs.read_all or not (sec.timeline or sec.rewritten))
    if not claim then
        make_extractors()
        return false
    end
    files_open = files_open + 1
    take_packets(not given_back)
    -- Frames have a link type each; the file's is that of its first packet
    -- interface, which most frames then need not set.
    capture.encap = wtap_encaps.PER_PACKET
    for i = 0, sec.nif - 1 do
        if sec.ifaces[i].encap ~= wtap_encaps.USER0 then capture.encap = sec.ifaces[i].encap break end
    end
    capture.time_precision = wtap_tsprecs.USEC
    capture.snapshot_length = 0
    capture.private_table = { encap = capture.encap, buf = "", base = 0, pending = {}, pn = 0, gaps = {}, gn = 0, ready = {}, rn = 0, ri = 1,
                              sections = {}, gap_time = {}, faults = {} }
    file:seek("set", 0)
    return true
end

-- The file bytes from offset `at` on, at least `n` of them when the file
-- has them: the buffer and the position of `at` in it.
local function bytes_at(st, file, at, n)
    local i = at - st.base + 1
    if i + n - 1 > #st.buf then
        local keep = st.buf:sub(i)
        local more = file:read(math.max(READ_CHUNK, n - #keep)) or ""
        st.buf = keep .. more
        st.base = at
        i = 1
    end
    return st.buf, i
end

-- Serial order inside a run of frames of equal time: serial arithmetic
-- modulo 2^32 from the run's first serial; a gap keeps its place before
-- the record after it, a frame without serial its place after the one
-- before it.
local function serial_order(run)
    local base
    for _, e in ipairs(run) do
        if e.serial then base = e.serial break end
    end
    if not base then return end
    local keys = {}
    local key = 0
    for i = #run, 1, -1 do  -- a gap's key is that of the frame after it
        local e = run[i]
        if e.serial then
            local d = (e.serial - base) % 4294967296
            key = d >= 2147483648 and d - 4294967296 or d
        end
        if e.gap or e.serial then keys[e] = key end
    end
    key = 0
    for i = 1, #run do  -- the others follow the frame before them
        local e = run[i]
        if keys[e] then key = keys[e] else keys[e] = key end
        e.order = i
    end
    table.sort(run, function(a, b)
        if keys[a] ~= keys[b] then return keys[a] < keys[b] end
        return a.order < b.order
    end)
end

-- Moves the pending run, in serial order, to the frames ready to go. The
-- run's table is kept for the next run.
local function release(st)
    local run, n = st.pending, st.pn
    if n > 1 then serial_order(run) end
    local ready, rn = st.ready, st.rn
    for k = 1, n do
        rn = rn + 1
        ready[rn] = run[k]
        run[k] = nil
    end
    st.rn = rn
    st.pn = 0
end

-- Takes the entry of the next block in: frames of one time gather in the
-- pending run, a frame without time joins the run it follows; gaps wait
-- for the time of the record after them and join its run.
local function take(st, e)
    if e.gap then
        st.gn = st.gn + 1
        st.gaps[st.gn] = e
        return
    end
    local run = st.pending
    local secs = e.secs
    local head = run[1]
    if head and secs and not (head.secs == secs and head.nsecs == e.nsecs) then release(st) end
    local pn = st.pn
    if st.gn > 0 then
        for k = 1, st.gn do
            local g = st.gaps[k]
            st.gaps[k] = nil
            g.secs, g.nsecs = secs, e.nsecs
            if secs then st.gap_time[g.pos] = { secs, e.nsecs } end
            pn = pn + 1
            run[pn] = g
        end
        st.gn = 0
    end
    pn = pn + 1
    run[pn] = e
    st.pn = pn
    if secs then st.last_secs, st.last_nsecs = secs, e.nsecs end
end

local function section_at(st, pos)
    local lo, hi = 1, #st.sections
    local found = nil
    while lo <= hi do
        local mid = math.floor((lo + hi) / 2)
        if st.sections[mid].at <= pos then
            found = st.sections[mid].sec
            lo = mid + 1
        else
            hi = mid - 1
        end
    end
    return found
end

-- Reads blocks until a frame is ready or the file ends. A damaged block
-- ends the file with a frame that names the damage.
local function fill(st, file)
    while st.rn < st.ri do
        if st.finished then return end
        local at = st.next_at or 0
        local sec = st.sec
        local s, i = st.buf, at - st.base + 1
        -- The common blocks first: the daemon's packet, event and gap
        -- blocks, whole in the buffer, from one unpack of their first words
        -- and one of the rest. Anything else takes the long way below.
        if sec and i + EPB_FIXED - 1 <= #s then
            local btype, len, ifid, hi, lo, caplen, origlen = Struct.unpack(sec.formats.block, s, i)
            local e = nil
            if len <= #s - i + 1 then
                e = daemon_packet(sec, s, i, btype, len, ifid, hi, lo, caplen, origlen)
                    or daemon_block(sec, s, i, btype, len, ifid, hi, lo, caplen, origlen)
            end
            if e then
                st.next_at = at + len
                e.pos = at
                take(st, e)
                goto next_block
            end
        end
        s, i = bytes_at(st, file, at, 12)
        local avail = #s - i + 1
        local what = nil
        if avail == 0 then
            st.finished = true
        elseif avail < 12 then
            what = damage(at, "cut short")
        else
            local btype, len, little
            if sec and Struct.unpack("<I4", s, i) ~= BT_SHB then
                -- Within a section: its byte order, one call for both words.
                little = sec.little
                btype, len = Struct.unpack(FORMATS[little].head, s, i)
                if len < 12 or len % 4 ~= 0 or len > MAX_BLOCK then btype, len = nil, "has a length of " .. len end
            else
                btype, len, little = block_head(s, i, sec and sec.little)
            end
            if not btype then
                what = damage(at, len)
            else
                if #s - i + 1 < len then s, i = bytes_at(st, file, at, len) end
                if #s - i + 1 < len then
                    what = damage(at, "cut short")
                elseif Struct.unpack(FORMATS[little].u32, s, i + len - 4) ~= len then
                    what = damage(at, "ends with another length")
                else
                    st.next_at = at + len
                    if btype == BT_SHB then
                        st.sec = new_section(s, i, len, little)
                        st.sec.reading = true
                        st.sections[#st.sections + 1] = { at = at, sec = st.sec }
                    elseif sec then
                        local e = block_entry(sec, s, i, btype, len)
                        if e then
                            e.pos = at
                            take(st, e)
                        end
                    end
                end
            end
        end
        if st.finished or what then
            st.finished = true
            for k = 1, st.gn do
                st.pn = st.pn + 1
                st.pending[st.pn] = st.gaps[k]
                st.gaps[k] = nil
            end
            st.gn = 0
            release(st)
            if what then
                st.rn = st.rn + 1
                st.ready[st.rn] = fault_entry(st, at, what)
            end
        end
        ::next_block::
    end
end

function reader.read(file, capture, frame)
    local st = capture.private_table
    before_read(nil)
    local ok, err = true, nil
    if st.rn < st.ri then ok, err = pcall(fill, st, file) end
    if not ok then
        -- A fault of this reader: the frames read so far, then one that
        -- names it, rather than a read routine failing (which ends tshark
        -- with an internal error).
        st.finished = true
        pcall(release, st)
        st.gaps, st.gn = {}, 0
        st.rn = st.rn + 1
        st.ready[st.rn] = fault_entry(st, st.next_at or 0,
            string.format("quarn: reading stopped at offset %d: %s", st.next_at or 0, tostring(err)))
    end
    local e = st.ready[st.ri]
    if not e then return false end
    st.ready[st.ri] = nil
    if st.ri == st.rn then
        -- All taken: the queue starts again at its first slot, so that
        -- the table never grows.
        st.rn, st.ri = 0, 1
    else
        st.ri = st.ri + 1
    end
    put_frame(frame, e, st)
    return e.pos
end

function reader.seek_read(file, capture, frame, offset)
    local st = capture.private_table
    before_read(offset)
    if st.faults[offset] then
        put_frame(frame, st.faults[offset])
        return true
    end
    local sec = section_at(st, offset)
    if not sec or not file:seek("set", offset) then return false end
    local btype, b = read_block(file, sec.little)
    local e = btype and block_entry(sec, b, 1, btype, #b)
    if not e then return false end
    if e.gap then
        local t = st.gap_time[offset]
        if t then e.secs, e.nsecs = t[1], t[2] end
    end
    put_frame(frame, e)
    return true
end

function reader.read_close(file, capture)
    current = nil
    files_open = files_open - 1
    if files_open == 0 then
        take_packets(false)
        encap_wanted, tree_less, tree_less_at, given_back = {}, false, nil, false
    end
    return true
end

register_filehandler(reader)
