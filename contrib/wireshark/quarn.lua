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
-- enterprise number.
--
-- This file brings three pieces:
--  - a file reader for pcapng files with the daemon's section header
--    options, or with a "quarn" interface. Wireshark's own pcapng reader
--    hands no block option to a dissector, so without it the record of a
--    packet block stays out of reach. It reads packets with their link type
--    and time as usual, keeps each packet's record for the decoder, and
--    turns event and gap blocks into frames of the user link type with a
--    time: an event's own record time, a gap's the time of the record
--    after it. The preference quarn.read_files turns it off;
--  - the dissector of those user link type frames, registered in the
--    "wtap_encap" table for USER0, so that timelines decode with any reader;
--  - a postdissector that decodes the record of packet frames (from this
--    reader) and custom block frames (from Wireshark's own reader).
--
-- Every record field is a display-filter field: quarn.cwnd, quarn.srtt,
-- quarn.state, quarn.event, ... (see `fields` below). Event names go into
-- the Info column, a gap raises an expert-info warning.
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
local LINKTYPE_USER0 = 147

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

-- "rto (3)"; the number alone for an id without a name.
local function event_label(id)
    local name = event_names[id]
    return name and string.format("%s (%u)", name, id) or tostring(id)
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
field("time", ProtoField.relative_time("quarn.time", "Record time (producer clock)"))
field("ticks", ProtoField.uint32("quarn.ticks", "Kernel ticks"))
field("serial", ProtoField.uint32("quarn.serial", "Serial"))
field("stack_id", ProtoField.uint8("quarn.stack_id", "Stack id"))
field("stack", ProtoField.string("quarn.stack", "Stack"))
field("event_id", ProtoField.uint8("quarn.event_id", "Event id", base.DEC, event_names))
field("event", ProtoField.string("quarn.event", "Event"))
field("flags", ProtoField.uint16("quarn.flags", "Record flags", base.HEX))
field("flag_rxbuf", ProtoField.bool("quarn.flags.rxbuf", "Receive buffer valid", 16, nil, 0x0001))
field("flag_txbuf", ProtoField.bool("quarn.flags.txbuf", "Send buffer valid", 16, nil, 0x0002))
field("flag_th", ProtoField.bool("quarn.flags.tcp_header", "TCP header", 16, nil, 0x0004))
field("flag_verbose", ProtoField.bool("quarn.flags.verbose", "Verbose record", 16, nil, 0x0008))
field("flag_stackinfo", ProtoField.bool("quarn.flags.stackinfo", "Stack part valid", 16, nil, 0x0010))

-- Record bytes 28 to 155 in offset order: key (the field's name after
-- "quarn."), offset, width, label, extra. A `flag` entry is shown only when
-- that record flag makes it valid.
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
field("snd_scale", ProtoField.uint8("quarn.snd_scale", "Send window scale", base.DEC, nil, 0x0F))
field("rcv_scale", ProtoField.uint8("quarn.rcv_scale", "Receive window scale", base.DEC, nil, 0xF0))
field("stackinfo", ProtoField.bytes("quarn.stackinfo", "Stack-specific part (not decoded)"))
field("payload_len", ProtoField.uint32("quarn.payload_len", "Payload length"))
field("rack_rtt", ProtoField.uint32("quarn.rack_rtt", "RACK RTT"))
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
for _, d in ipairs(bbr_fields) do
    local key = "bbr_" .. d[1]
    d.pf = field(key, uint_field[d[3]]("quarn." .. key, "BBR " .. d[1]))
end

quarn.fields = field_list

local ef_gap = ProtoExpert.new("quarn.gap.expert", "Records missing",
                               expert.group.SEQUENCE, expert.severity.WARN)
local ef_short = ProtoExpert.new("quarn.short.expert", "Block too short for its record",
                                 expert.group.MALFORMED, expert.severity.ERROR)
quarn.experts = { ef_gap, ef_short }

quarn.prefs.read_files = Pref.bool("Read quarn_dumper files with this plugin", true,
    "Open dumps and timelines with the plugin's own reader, which keeps each packet's "
    .. "log record for the decoder. Off: Wireshark's pcapng reader (no record on packets).")
quarn.prefs.stacks = Pref.string("Stack names", "",
    "Stack ids and names, e.g. \"0=freebsd 2=rack\", for records whose file names "
    .. "no stack (the file's own names come first)")

----------------------------------------------------------------------------
-- Record decoder

-- Stacks named by the file (reader section or interface description), then
-- by the preference.
local function stack_name(stacks, id)
    local name = stacks and stacks[id]
    if name then return name end
    return parse_stacks(quarn.prefs.stacks, {})[id]
end

-- Decodes the record at `off` of `tvb` (at least 264 bytes; 268 with the
-- payload length) into `tree`. The record is in the byte order of the host
-- that logged it, which wrote the file: `little` is the file's. Returns
-- what the Info column names.
local function decode_record(tvb, off, tree, little, stacks)
    local function add(pf, o, len)
        local r = tvb(off + o, len)
        if little then return tree:add_le(pf, r) end
        return tree:add(pf, r)
    end
    local function uint(o, len)
        local r = tvb(off + o, len)
        return little and r:le_uint() or r:uint()
    end
    local function int64(o)
        local r = tvb(off + o, 8)
        return (little and r:le_int64() or r:int64()):tonumber()
    end

    local sec, usec = int64(0), int64(8)
    tree:add(f.time, tvb(off, 16), NSTime.new(sec, usec * 1000))
    add(f.ticks, 16, 4)
    add(f.serial, 20, 4)
    local stack_id = uint(24, 1)
    add(f.stack_id, 24, 1)
    local stack = stack_name(stacks, stack_id)
    if stack then tree:add(f.stack, tvb(off + 24, 1), stack) end
    local event_id = uint(25, 1)
    add(f.event_id, 25, 1)
    if event_names[event_id] then tree:add(f.event, tvb(off + 25, 1), event_names[event_id]) end
    local flags = uint(26, 2)
    local ft = add(f.flags, 26, 2)
    for _, k in ipairs({ "flag_rxbuf", "flag_txbuf", "flag_th", "flag_verbose", "flag_stackinfo" }) do
        if little then ft:add_le(f[k], tvb(off + 26, 2)) else ft:add(f[k], tvb(off + 26, 2)) end
    end
    for _, d in ipairs(record_fields) do
        if not d.flag or bit32.band(flags, d.flag) ~= 0 then
            local item = add(d.pf, d[2], 4)
            for _, b in ipairs(d.bits or {}) do
                if little then item:add_le(b.pf, tvb(off + d[2], 4)) else item:add(b.pf, tvb(off + d[2], 4)) end
            end
        end
    end
    add(f.snd_scale, 156, 1)
    add(f.rcv_scale, 156, 1)

    local stack_part = bit32.band(flags, FLAG_STACKINFO) ~= 0 and stack or nil
    if stack_part == "rack" then
        add(f.rack_rtt, 160, 4)
        add(f.rack_state, 164, 1)
    elseif stack_part == "bbr" then
        for _, d in ipairs(bbr_fields) do add(d.pf, 160 + d[2], d[3]) end
    else
        tree:add(f.stackinfo, tvb(off + 160, 104))
    end
    if tvb:len() - off >= RECORD_BYTES then add(f.payload_len, 264, 4) end

    local state = uint(56, 4)
    if state >= 0x80000000 then state = state - 0x100000000 end
    return {
        event_id = event_id, serial = uint(20, 4), stack_id = stack_id, stack = stack,
        state = state_names[state] or ("state " .. state), cwnd = uint(80, 4),
    }
end

----------------------------------------------------------------------------
-- Blocks: event and gap, as custom block frames or user link type frames

-- The record option of an event block; the options start after the subtype.
local function find_record(tvb, little)
    local function u(off, len)
        local r = tvb(off, len)
        return little and r:le_uint() or r:uint()
    end
    local off = 4
    while off + 4 <= tvb:len() do
        local code, len = u(off, 2), u(off + 2, 2)
        if code == 0 then return nil end
        local padded = len + (4 - len % 4) % 4
        if off + 4 + padded > tvb:len() then return nil end
        if (code == OPT_CUSTOM or code == OPT_CUSTOM_NOCOPY) and len == RECORD_OPT_LEN
            and u(off + 4, 4) == PEN and u(off + 8, 4) == OPT_SUB_RECORD then
            return off + 12
        end
        off = off + 4 + padded
    end
    return nil
end

local frame_comment = Field.new("frame.comment")
local ok_ifdesc, frame_ifdesc = pcall(Field.new, "frame.interface_description")

-- What the reader delivered last. Wireshark and tshark dissect a frame
-- right after reading it, in the first pass and whenever they read it again
-- at its offset, so this is the frame being dissected; its bytes and time
-- are checked all the same, and a frame that does not match gets no record.
local current = nil

local function reader_entry(tvb, pinfo)
    local c = current
    if c and c.data == tvb:raw() and math.abs(pinfo.abs_ts - c.abs) < 1e-6 then return c end
    return nil
end

-- Stack names for a frame: the reader's section, else the description of
-- the frame's interface (a timeline's "stacks 2=rack 0=freebsd").
local function frame_stacks(tvb, pinfo)
    local c = reader_entry(tvb, pinfo)
    if c then return c.sec.stacks end
    local desc = ok_ifdesc and frame_ifdesc()
    if desc then return parse_stacks(tostring(desc.value), {}) end
    return nil
end

-- The subtype is 1 or 2: its first byte tells the byte order of the block.
local function block_order(tvb)
    if tvb:len() < 4 then return nil end
    local le = tvb(0, 4):le_uint()
    if le == SUB_EVENT or le == SUB_GAP then return true end
    local be = tvb(0, 4):uint()
    if be == SUB_EVENT or be == SUB_GAP then return false end
    return nil
end

local function dissect_block(tvb, pinfo, tree, little)
    local sub_r = tvb(0, 4)
    local sub = little and sub_r:le_uint() or sub_r:uint()
    local t = tree:add(quarn, tvb(), "quarn_dumper " .. block_names[sub] .. " block")
    pinfo.cols.protocol = "quarn"
    if little then t:add_le(f.subtype, sub_r) else t:add(f.subtype, sub_r) end
    t:add(f.block, sub_r, block_names[sub])
    if sub == SUB_GAP then
        if tvb:len() < 8 then
            t:add_proto_expert_info(ef_short)
            return
        end
        local r = tvb(4, 4)
        local missing = little and r:le_uint() or r:uint()
        for _, pf in ipairs({ f.missing, f.gap }) do
            if little then t:add_le(pf, r) else t:add(pf, r) end
        end
        t:add_tvb_expert_info(ef_gap, r, string.format("%u records missing", missing))
        -- A timeline names the parts a jump lies between in the comment.
        local comment = frame_comment()
        pinfo.cols.info = comment and ("Gap: " .. tostring(comment.value))
                          or string.format("Gap: %u records missing", missing)
        return
    end
    local rec = find_record(tvb, little)
    if not rec then
        t:add_proto_expert_info(ef_short)
        pinfo.cols.info = "Event without record bytes"
        return
    end
    local s = decode_record(tvb, rec, t, little, frame_stacks(tvb, pinfo))
    pinfo.cols.info = string.format("Event %s, serial %u, stack %u%s, %s, cwnd %u",
        event_label(s.event_id), s.serial, s.stack_id, s.stack and (" " .. s.stack) or "",
        s.state, s.cwnd)
end

-- Frames of the user link type: events and gaps of a timeline, or of a dump
-- read by this file's reader. Anything else goes on to Wireshark's own
-- handling of that link type.
local user_dlt = Dissector.get("user_dlt")
local function ours(tvb, little)
    if little == nil then return false end
    local sub = little and tvb(0, 4):le_uint() or tvb(0, 4):uint()
    if sub == SUB_GAP then return tvb:len() == 12 end
    return find_record(tvb, little) ~= nil
end

function quarn.dissector(tvb, pinfo, tree)
    local little = block_order(tvb)
    if not ours(tvb, little) then return user_dlt:call(tvb, pinfo, tree) end
    dissect_block(tvb, pinfo, tree, little)
    return tvb:len()
end
DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, quarn)

-- Packet frames that came through the reader carry their record in
-- `current`; custom block frames from Wireshark's pcapng reader are found
-- by their enterprise number.
local post = Proto("quarn_post", "quarn_dumper records of packet and custom blocks")
local cb_pen = Field.new("frame.cb_pen")
function post.dissector(tvb, pinfo, tree)
    local pen = cb_pen()
    if pen then
        if pen.value ~= PEN then return end
        local little = block_order(tvb)
        if little ~= nil then dissect_block(tvb, pinfo, tree, little) end
        return
    end
    local c = reader_entry(tvb, pinfo)
    if not c or c.kind ~= "packet" or not c.record then return end
    local rtvb = ByteArray.new(c.record, true):tvb("quarn log record")
    local t = tree:add(quarn, rtvb(), "quarn_dumper packet record")
    t:add(f.block, "packet"):set_generated()
    decode_record(rtvb, 0, t, c.sec.little, c.sec.stacks)
end
register_postdissector(post)

----------------------------------------------------------------------------
-- File reader

local function u16(s, pos, little) return (Struct.unpack(little and "<I2" or ">I2", s, pos)) end
local function u32(s, pos, little) return (Struct.unpack(little and "<I4" or ">I4", s, pos)) end
local function i64(s, pos, little)
    return (Struct.unpack(little and "<e" or ">e", s, pos)):tonumber()
end
local function pad4(n) return (4 - n % 4) % 4 end

-- The options of a block between string positions `from` and `to`, as
-- {code, value} pairs; stops at the end of options or at a length that
-- runs past `to`.
local function options(s, from, to, little)
    local out = {}
    local pos = from
    while pos + 3 <= to do
        local code, len = u16(s, pos, little), u16(s, pos + 2, little)
        if code == 0 or pos + 3 + len > to then break end
        out[#out + 1] = { code, s:sub(pos + 4, pos + 3 + len) }
        pos = pos + 4 + len + pad4(len)
    end
    return out
end

-- Subtype and payload of one of our custom options, or nil.
local function our_option(o, little)
    local v = o[2]
    if (o[1] ~= OPT_CUSTOM and o[1] ~= OPT_CUSTOM_NOCOPY) or #v < 8 or u32(v, 1, little) ~= PEN then
        return nil
    end
    return u32(v, 5, little), v:sub(9)
end

-- Reads the block at the file's position: its type, all its bytes and the
-- byte order (a section header tells its own). nil at the end of the file;
-- nil and what is wrong for a block that is cut short or does not hold
-- together.
local function read_block(file, little)
    local at = file:seek("cur")
    local head = file:read(12)
    if not head or #head == 0 then return nil end
    local function damaged(what)
        return nil, string.format("quarn: block at offset %d %s", at, what)
    end
    if #head < 12 then return damaged("cut short") end
    local btype = u32(head, 1, little)
    if btype == BT_SHB then
        if u32(head, 9, true) == BYTE_ORDER_MAGIC then
            little = true
        elseif u32(head, 9, false) == BYTE_ORDER_MAGIC then
            little = false
        else
            return damaged("has no byte-order magic")
        end
    end
    local len = u32(head, 5, little)
    if len < 12 or len % 4 ~= 0 or len > MAX_BLOCK then return damaged("has a length of " .. len) end
    local b = head
    if len > 12 then
        local rest = file:read(len - 12)
        if not rest or #rest < len - 12 then return damaged("cut short") end
        b = head .. rest
    end
    if u32(b, len - 3, little) ~= len then return damaged("ends with another length") end
    return btype, b, little
end

local linktype_encap = {
    [0] = wtap_encaps.NULL, [1] = wtap_encaps.ETHERNET, [101] = wtap_encaps.RAW_IP,
    [108] = wtap_encaps.LOOP, [113] = wtap_encaps.SLL, [228] = wtap_encaps.RAW_IP4,
    [229] = wtap_encaps.RAW_IP6, [LINKTYPE_USER0] = wtap_encaps.USER0,
}

-- A section: byte order, stack names, interfaces, the log's time offset.
local function new_section(b, little)
    local sec = { little = little, stacks = {}, ifaces = {}, ours = false }
    for _, o in ipairs(options(b, 25, #b - 4, little)) do
        local sub, v = our_option(o, little)
        if sub then
            sec.ours = true
            if sub == OPT_SUB_LOG_HEADER and #v >= LOG_HEADER_BYTES then
                sec.tsoff_sec = i64(v, LOG_HEADER_TIME_OFFSET + 1, little)
                sec.tsoff_usec = i64(v, LOG_HEADER_TIME_OFFSET + 9, little)
            elseif sub == OPT_SUB_STACK_NAME and #v >= 2 then
                sec.stacks[v:byte(1)] = v:sub(2):match("^[^%z]*")
            end
        end
    end
    return sec
end

local function add_interface(sec, b)
    local L = sec.little
    local linktype = u16(b, 9, L)
    local iface = { encap = linktype_encap[linktype] or wtap_encaps.UNKNOWN, tsresol = 6 }
    for _, o in ipairs(options(b, 17, #b - 4, L)) do
        if o[1] == OPT_IF_TSRESOL and #o[2] >= 1 then
            iface.tsresol = o[2]:byte(1)
        elseif o[1] == OPT_IF_NAME then
            if linktype == LINKTYPE_USER0 and o[2]:match("^[^%z]*") == "quarn" then sec.ours = true end
        elseif o[1] == OPT_IF_DESCRIPTION then
            parse_stacks(o[2]:match("^[^%z]*"), sec.stacks)
        end
    end
    local id = sec.nif or 0
    sec.ifaces[id] = iface
    sec.nif = id + 1
end

-- A packet block's time in its interface's resolution, as an NSTime.
local function epb_time(hi, lo, tsresol)
    local t = UInt64.new(lo, hi)
    local per, scale
    if bit32.band(tsresol, 0x80) ~= 0 then
        per = UInt64.new(2):lshift(bit32.band(tsresol, 0x7F))
        local frac = (t % per):tonumber()
        return NSTime.new((t / per):tonumber(), math.floor(frac * 1e9 / per:tonumber()))
    end
    per = UInt64.new(10 ^ math.min(tsresol, 19))
    scale = 10 ^ (9 - tsresol)
    return NSTime.new((t / per):tonumber(), math.floor((t % per):tonumber() * scale))
end

-- A record's time: the section's time offset plus the record time.
local function record_time(sec, rec)
    if not sec.tsoff_sec or #rec < 16 then return nil end
    local usec = sec.tsoff_usec + i64(rec, 9, sec.little)
    local s = sec.tsoff_sec + i64(rec, 1, sec.little) + math.floor(usec / 1e6)
    return NSTime.new(s, (usec % 1e6) * 1000)
end

local function record_of_block(data, little)
    -- data: subtype, then the options of an event block
    for _, o in ipairs(options(data, 5, #data, little)) do
        local sub, v = our_option(o, little)
        if sub == OPT_SUB_RECORD then return v end
    end
    return nil
end

local function is_ours_custom(btype, b, little)
    return (btype == BT_CUSTOM or btype == BT_CUSTOM_NOCOPY) and #b >= 20 and u32(b, 9, little) == PEN
end

-- The time of the first packet or event after the position, which is left
-- where it was: a gap block goes before the record that follows the jump.
local function time_after(file, sec)
    local back = file:seek("cur")
    local t
    while true do
        local btype, b = read_block(file, sec.little)
        if not btype or btype == BT_SHB then break end
        if btype == BT_EPB then
            local iface = sec.ifaces[u32(b, 9, sec.little)]
            t = epb_time(u32(b, 13, sec.little), u32(b, 17, sec.little), iface and iface.tsresol or 6)
            break
        end
        if is_ours_custom(btype, b, sec.little) then
            local data = b:sub(13, #b - 4)
            if u32(data, 1, sec.little) == SUB_EVENT then
                local rec = record_of_block(data, sec.little)
                t = rec and record_time(sec, rec)
                break
            end
        end
    end
    file:seek("set", back)
    return t
end

local function set_frame(frame, sec, t, data, caplen, origlen, encap, comments)
    frame.flags = t and (wtap_presence_flags.TS + wtap_presence_flags.CAP_LEN) or wtap_presence_flags.CAP_LEN
    if t then frame.time = t end
    frame.encap = encap
    frame.data = data
    frame.captured_length = caplen
    frame.original_length = origlen
    if comments then frame.comment = comments end
    local abs = t and (t.secs + t.nsecs / 1e9) or 0
    return { data = data, abs = abs, sec = sec }
end

-- Turns the block into `frame`; returns what the dissectors learn of it, or
-- nil for a block that is no frame (it is skipped).
local function block_frame(file, sec, btype, b, frame)
    local L = sec.little
    if btype == BT_IDB then
        add_interface(sec, b)
        return nil
    end
    if btype == BT_EPB and #b >= 32 then
        local iface = sec.ifaces[u32(b, 9, L)] or { encap = wtap_encaps.UNKNOWN, tsresol = 6 }
        local caplen, origlen = u32(b, 21, L), u32(b, 25, L)
        if 28 + caplen + pad4(caplen) > #b - 4 then return nil end
        local record, comments
        for _, o in ipairs(options(b, 29 + caplen + pad4(caplen), #b - 4, L)) do
            local sub, v = our_option(o, L)
            if sub == OPT_SUB_RECORD and #v >= RECORD_BYTES then record = v end
            if o[1] == OPT_COMMENT then
                comments = comments or {}
                comments[#comments + 1] = o[2]
            end
        end
        local t = epb_time(u32(b, 13, L), u32(b, 17, L), iface.tsresol)
        local e = set_frame(frame, sec, t, b:sub(29, 28 + caplen), caplen, origlen, iface.encap, comments)
        e.kind = iface.encap == wtap_encaps.USER0 and "block" or "packet"
        e.record = record
        return e
    end
    if is_ours_custom(btype, b, L) then
        -- The bytes after the enterprise number, as a timeline holds them.
        local data = b:sub(13, #b - 4)
        local sub = u32(data, 1, L)
        local t
        if sub == SUB_EVENT then
            local rec = record_of_block(data, L)
            t = rec and record_time(sec, rec)
        elseif sub == SUB_GAP then
            t = time_after(file, sec)
        else
            return nil
        end
        local e = set_frame(frame, sec, t, data, #data, #data, wtap_encaps.USER0, nil)
        e.kind = "block"
        return e
    end
    return nil
end

local reader = FileHandler.new("quarn_dumper pcapng (records kept)", "quarn",
    "pcapng dumps and timelines of quarn_dumper, read with each packet's log record", "rms")
reader.extensions = "pcapng"

-- Ours: a section header with options of our enterprise number, or an
-- interface of the user link type described as quarn_dumper records.
function reader.read_open(file, capture)
    if not quarn.prefs.read_files then return false end
    local btype, b, little = read_block(file, nil)
    if btype ~= BT_SHB then return false end
    local sec = new_section(b, little)
    while not sec.ours do
        local bt, ib = read_block(file, little)
        if bt ~= BT_IDB then break end
        add_interface(sec, ib)
    end
    if not sec.ours then return false end
    capture.encap = wtap_encaps.PER_PACKET
    capture.time_precision = wtap_tsprecs.USEC
    capture.snapshot_length = 0
    capture.private_table = { at = {} }
    file:seek("set", 0)
    return true
end

function reader.read(file, capture, frame)
    local st = capture.private_table
    while true do
        local pos = file:seek("cur")
        local btype, b, little = read_block(file, st.sec and st.sec.little)
        -- A damaged block ends the reading with its reason; Lua has no
        -- other way to tell Wireshark that a read failed.
        if not btype then
            if b then error(b, 0) end
            return false
        end
        if btype == BT_SHB then
            st.sec = new_section(b, little)
        elseif st.sec then
            local e = block_frame(file, st.sec, btype, b, frame)
            if e then
                st.at[pos] = st.sec
                current = e
                return pos
            end
        end
    end
end

function reader.seek_read(file, capture, frame, offset)
    local sec = capture.private_table.at[offset]
    if not sec or not file:seek("set", offset) then return false end
    local btype, b = read_block(file, sec.little)
    local e = btype and block_frame(file, sec, btype, b, frame)
    if not e then return false end
    current = e
    return true
end

function reader.read_close(file, capture)
    current = nil
    return true
end

register_filehandler(reader)
