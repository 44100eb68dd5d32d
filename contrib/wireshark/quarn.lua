-- quarn.lua: decodes the custom blocks of quarn_dumper's dumps in Wireshark
-- and tshark 4.0 and later.
--
-- A dump holds, besides its packets, custom blocks of enterprise number
-- 32473: event blocks (a log record without a TCP header, its first 268
-- bytes in a custom option) and gap blocks (how many records were lost).
-- Wireshark hands such a block to the dissectors as a frame of its own whose
-- data starts after the enterprise number; this postdissector finds them by
-- frame.cb_pen and decodes subtype, gap count and record fields.
--
-- Install: copy this file into the personal Lua plugins folder
-- (~/.local/lib/wireshark/plugins/), or load it for one run with
--   tshark -X lua_script:quarn.lua -r dump.pcapng
--
-- Not reachable from Lua: the options of the section header (log header,
-- dump time, stack name, log format version) and the record option of
-- packet blocks. quarn_inspect shows those.

local PEN = 32473
local SUB_EVENT = 1
local SUB_GAP = 2
local OPT_CUSTOM = 2989
local OPT_SUB_RECORD = 2
local RECORD_BYTES = 268
local RECORD_OPT_LEN = 8 + RECORD_BYTES

local quarn = Proto("quarn", "quarn_dumper log blocks")

local block_names = { [SUB_EVENT] = "event", [SUB_GAP] = "gap" }
local event_names = { [1] = "packet received", [54] = "connection ended" }

local f = {
    block = ProtoField.string("quarn.block", "Block"),
    subtype = ProtoField.uint32("quarn.subtype", "Block subtype", base.DEC, block_names),
    gap = ProtoField.uint32("quarn.gap", "Records missing"),
    time = ProtoField.relative_time("quarn.time", "Record time (producer clock)"),
    serial = ProtoField.uint32("quarn.serial", "Serial"),
    stack_id = ProtoField.uint8("quarn.stack_id", "Stack id"),
    event_id = ProtoField.uint8("quarn.event_id", "Event id", base.DEC, event_names),
    flags = ProtoField.uint16("quarn.flags", "Record flags", base.HEX),
    flag_th = ProtoField.bool("quarn.flags.tcp_header", "TCP header", 16, nil, 0x0004),
    flag_verbose = ProtoField.bool("quarn.flags.verbose", "Verbose record", 16, nil, 0x0008),
    payload_len = ProtoField.uint32("quarn.payload_len", "Payload length"),
}
quarn.fields = { f.block, f.subtype, f.gap, f.time, f.serial, f.stack_id, f.event_id,
                 f.flags, f.flag_th, f.flag_verbose, f.payload_len }

local cb_pen = Field.new("frame.cb_pen")

-- Reads an unsigned integer of `len` bytes in the file's byte order.
local function reader(tvb, little)
    return function(off, len)
        local r = tvb(off, len)
        return r, (little and r:le_uint() or r:uint())
    end
end

local function add_uint(tree, field, r, little)
    if little then tree:add_le(field, r) else tree:add(field, r) end
end

-- Record option of an event block: the options start after the subtype.
local function find_record(tvb, u)
    local off = 4
    while off + 4 <= tvb:len() do
        local _, code = u(off, 2)
        local _, len = u(off + 2, 2)
        if code == 0 then return nil end
        local padded = len + (4 - len % 4) % 4
        if off + 4 + padded > tvb:len() then return nil end
        if code == OPT_CUSTOM and len == RECORD_OPT_LEN then
            local _, pen = u(off + 4, 4)
            local _, sub = u(off + 8, 4)
            if pen == PEN and sub == OPT_SUB_RECORD then return off + 12 end
        end
        off = off + 4 + padded
    end
    return nil
end

local function int64_at(tvb, off, little)
    local r = tvb(off, 8)
    return (little and r:le_int64() or r:int64()):tonumber()
end

function quarn.dissector(tvb, pinfo, tree)
    local pen = cb_pen()
    if not pen or pen.value ~= PEN or tvb:len() < 4 then return end
    -- Dumps are written in the writer's byte order; the subtype tells it.
    local little = tvb(0, 4):le_uint() <= SUB_GAP
    local u = reader(tvb, little)
    local sub_r, sub = u(0, 4)
    local t = tree:add(quarn, tvb(), "quarn_dumper " .. (block_names[sub] or "custom") .. " block")
    pinfo.cols.protocol = "quarn"
    add_uint(t, f.subtype, sub_r, little)
    if sub == SUB_GAP and tvb:len() >= 8 then
        local r, missing = u(4, 4)
        t:add(f.block, "gap")
        add_uint(t, f.gap, r, little)
        pinfo.cols.info = string.format("Gap: %u records missing", missing)
        return
    end
    if sub ~= SUB_EVENT then return end
    t:add(f.block, "event")
    local rec = find_record(tvb, u)
    if not rec then
        pinfo.cols.info = "Event without record bytes"
        return
    end
    local sec = int64_at(tvb, rec, little)
    local usec = int64_at(tvb, rec + 8, little)
    t:add(f.time, tvb(rec, 16), NSTime.new(sec, usec * 1000))
    local serial_r, serial = u(rec + 20, 4)
    add_uint(t, f.serial, serial_r, little)
    local stack_r = tvb(rec + 24, 1)
    t:add(f.stack_id, stack_r)
    local event_r = tvb(rec + 25, 1)
    t:add(f.event_id, event_r)
    local flags_r, flags = u(rec + 26, 2)
    local ft = little and t:add_le(f.flags, flags_r) or t:add(f.flags, flags_r)
    add_uint(ft, f.flag_th, flags_r, little)
    add_uint(ft, f.flag_verbose, flags_r, little)
    local plen_r = tvb(rec + 264, 4)
    add_uint(t, f.payload_len, plen_r, little)
    local event = event_r:uint()
    local name = event_names[event]
    pinfo.cols.info = string.format("Event %u%s, serial %u, stack %u, flags 0x%04x", event,
        name and (" (" .. name .. ")") or "", serial, stack_r:uint(), flags)
end

register_postdissector(quarn)
