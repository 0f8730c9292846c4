-- kivo_lcmp.lua: LCMP, EtherType 0x22E3 (management message header, segments put back
-- together, value lists, configuration-layer records, deciphered with the passwords given).
--
-- Part of the kivo plugin: kivo.lua runs the function this file returns once, with the
-- table of what the parts share (kivo_common.lua). Wireshark, which runs every file of its
-- plugin folders, gets only the function from this one and does nothing with it.

return function(kivo)

-- What this part takes from the shared table.
local LCMP_ETHERTYPE = kivo.LCMP_ETHERTYPE
local PARAM_TYPE_NAMES = kivo.PARAM_TYPE_NAMES
local CODEC_LCMP = kivo.CODEC_LCMP
local render_value = kivo.render_value
local render_status = kivo.render_status
local crypto_error = kivo.crypto_error
local keys_for = kivo.keys_for
local decipher_part = kivo.decipher_part
local key_text = kivo.key_text
local DECRYPTION_GROUP = kivo.DECRYPTION_GROUP
local f_eth_dst = kivo.f_eth_dst
local f_eth_src = kivo.f_eth_src
local f_vlan_id = kivo.f_vlan_id
local f_vlan_prio = kivo.f_vlan_prio
local last = kivo.last
local mac_hex = kivo.mac_hex
local src_key = kivo.src_key

---------------------------------------------------------------------------------------------
-- LCMP
---------------------------------------------------------------------------------------------

local lcmp = Proto("lcmp", "LCMP (layer-2 configuration and management)")

local MAX_SEGMENT = 1496

local OPCODES = {
    [0x160] = "Read request", [0x161] = "Read confirm", [0x162] = "Write request", [0x163] = "Write confirm",
    [0x164] = "Control request", [0x165] = "Control confirm", [0x166] = "Notify indication",
    [0x167] = "Notify response", [0x168] = "Indication", [0x169] = "Response",
}
local CONTROL_CODES = {[0] = "ITU", [1] = "G.9962", [2] = "HGF", [3] = "Vendor", [4] = "Operator",
                       [5] = "Vector boost"}
local VALUE_TYPES = {
    [0x00] = "Info", [0x10] = "Parameter", [0x11] = "Write parameter confirm", [0x12] = "Read parameter",
    [0x13] = "Control", [0x14] = "Control confirm", [0x15] = "Notify", [0x16] = "Notify confirm",
    [0x20] = "Data model", [0x21] = "Config-layer write request", [0x22] = "Config-layer write answer",
    [0x23] = "Config-layer read request", [0x24] = "Config-layer read answer",
    [0x25] = "Config-layer get-all answer", [0x26] = "End marker", [0x27] = "Config-layer get-all request",
}
local DATA_MODELS = {[0] = "Public", [1] = "Private"}
local RECORD_CONTROLS = {[0] = "Value", [1] = "Name", [2] = "Status"}
local DST_TYPES = {[0] = "Unicast", [1] = "LCMP multicast", [2] = "Broadcast", [3] = "Other group"}

local lf = {
    dst = ProtoField.ether("lcmp.dst", "Destination"),
    src = ProtoField.ether("lcmp.src", "Source"),
    dst_type = ProtoField.uint8("lcmp.dst_type", "Destination type", base.DEC, DST_TYPES),
    vlan_id = ProtoField.uint16("lcmp.vlan.id", "VLAN id"),
    vlan_prio = ProtoField.uint8("lcmp.vlan.priority", "VLAN priority"),
    length = ProtoField.uint16("lcmp.mmh.length", "Segment length", base.DEC, nil, 0x0FFF),
    opcode = ProtoField.uint16("lcmp.mmh.opcode", "Opcode", base.HEX, OPCODES),
    reserved = ProtoField.uint8("lcmp.mmh.reserved", "Reserved", base.HEX),
    last_segment = ProtoField.uint8("lcmp.mmh.last_segment", "Last segment number", base.DEC, nil, 0x0F),
    segment = ProtoField.uint8("lcmp.mmh.segment", "Segment number", base.DEC, nil, 0xF0),
    segment_count = ProtoField.uint8("lcmp.mmh.segment_count", "Segments in the message"),
    seq = ProtoField.uint16("lcmp.mmh.seq", "Sequence number"),
    version = ProtoField.uint8("lcmp.mmh.version", "Version", base.HEX),
    segment_data = ProtoField.bytes("lcmp.segment.data", "Segment data"),
    segments = ProtoField.none("lcmp.segments", "Segments"),
    segment_frame = ProtoField.framenum("lcmp.segment.frame", "Segment in frame", base.NONE),
    reassembled_in = ProtoField.framenum("lcmp.reassembled_in", "Reassembled in frame", base.NONE),
    reassembled_length = ProtoField.uint16("lcmp.reassembled.length", "Reassembled length"),
    padding = ProtoField.bytes("lcmp.padding", "Padding"),
    control = ProtoField.uint8("lcmp.control", "Control code", base.DEC, CONTROL_CODES),
    host = ProtoField.ether("lcmp.host", "Host address"),
    values_length = ProtoField.uint16("lcmp.values_length", "Values length"),
    tid = ProtoField.uint16("lcmp.tid", "Transaction id", base.HEX),
    ack = ProtoField.uint8("lcmp.ack", "Acknowledgement wanted"),
    value = ProtoField.none("lcmp.value", "Value"),
    value_type = ProtoField.uint8("lcmp.value.type", "Type", base.HEX, VALUE_TYPES),
    value_length = ProtoField.uint16("lcmp.value.length", "Length"),
    value_data = ProtoField.bytes("lcmp.value.data", "Data"),
    data_model = ProtoField.uint8("lcmp.value.data_model", "Data model", base.DEC, DATA_MODELS),
    enciphered = ProtoField.bytes("lcmp.enciphered", "Enciphered"),
    enciphered_length = ProtoField.uint16("lcmp.enciphered.length", "Enciphered length"),
    deciphered = ProtoField.bytes("lcmp.deciphered", "Deciphered"),
    deciphered_password = ProtoField.string("lcmp.deciphered.password", "Password"),
    deciphered_key = ProtoField.string("lcmp.deciphered.key", "Key form"),
    cipher_padding = ProtoField.bytes("lcmp.deciphered.padding", "Cipher padding"),
    record = ProtoField.none("lcmp.cfg.record", "Record"),
    record_length = ProtoField.uint16("lcmp.cfg.record.length", "Length"),
    record_control = ProtoField.uint8("lcmp.cfg.record.control", "Control", base.DEC, RECORD_CONTROLS),
    record_type = ProtoField.uint8("lcmp.cfg.record.type", "Type", base.DEC, PARAM_TYPE_NAMES),
    record_data = ProtoField.bytes("lcmp.cfg.record.data", "Data"),
    name = ProtoField.string("lcmp.cfg.name", "Name"),
    cfg_value = ProtoField.string("lcmp.cfg.value", "Value"),
    elements = ProtoField.uint32("lcmp.cfg.elements", "Elements"),
    status = ProtoField.int32("lcmp.cfg.status", "Status"),
    status_text = ProtoField.string("lcmp.cfg.status_text", "Status text"),
}
lcmp.fields = lf

local le = {
    segment_too_long = ProtoExpert.new("lcmp.segment_too_long.expert", "Segment longer than allowed",
        expert.group.MALFORMED, expert.severity.ERROR),
    length_beyond_frame = ProtoExpert.new("lcmp.length_beyond_frame.expert", "Length field goes beyond the frame",
        expert.group.MALFORMED, expert.severity.ERROR),
    segment_number = ProtoExpert.new("lcmp.segment_number.expert", "Segment number beyond the last segment",
        expert.group.MALFORMED, expert.severity.ERROR),
    segment_repeated = ProtoExpert.new("lcmp.segment_repeated.expert", "Segment received before",
        expert.group.REASSEMBLE, expert.severity.NOTE),
    segment_mismatch = ProtoExpert.new("lcmp.segment_mismatch.expert",
        "Segments of one message disagree on its size", expert.group.REASSEMBLE, expert.severity.WARN),
    segment_pending = ProtoExpert.new("lcmp.segment_pending.expert", "Segment of a longer message",
        expert.group.REASSEMBLE, expert.severity.CHAT),
    value_beyond = ProtoExpert.new("lcmp.value_beyond.expert", "Value length goes beyond the message",
        expert.group.MALFORMED, expert.severity.ERROR),
    header_short = ProtoExpert.new("lcmp.header_short.expert", "Message shorter than its header",
        expert.group.MALFORMED, expert.severity.ERROR),
    record_bad = ProtoExpert.new("lcmp.record_bad.expert", "Malformed configuration-layer record",
        expert.group.MALFORMED, expert.severity.ERROR),
    enciphered = ProtoExpert.new("lcmp.enciphered.expert", "Values after the marker are enciphered",
        expert.group.UNDECODED, expert.severity.NOTE),
    cipher_blocks = ProtoExpert.new("lcmp.cipher_blocks.expert", "Enciphered part is not a multiple of 8 bytes",
        expert.group.MALFORMED, expert.severity.WARN),
    unknown_opcode = ProtoExpert.new("lcmp.unknown_opcode.expert", "Unknown opcode",
        expert.group.PROTOCOL, expert.severity.WARN),
    undeciphered = ProtoExpert.new("lcmp.undeciphered.expert", "No password given deciphers this part",
        DECRYPTION_GROUP, expert.severity.WARN),
}
lcmp.experts = {le.segment_too_long, le.length_beyond_frame, le.segment_number, le.segment_repeated,
                le.segment_mismatch, le.segment_pending, le.value_beyond, le.header_short, le.record_bad,
                le.enciphered, le.cipher_blocks, le.unknown_opcode, le.undeciphered}

lcmp.prefs.marker = Pref.uint("Marker value type", 0x20,
    "Type of the value after which the rest of a message is enciphered (the data-model value)")
lcmp.prefs.marker_length = Pref.uint("Marker data length", 1,
    "Bytes of the marker value's own data before the enciphered part")
lcmp.prefs.passwords = Pref.string("Passwords", "",
    "Passwords to decipher LCMP and SCP with, separated by commas (\\, is a comma and \\\\ a " ..
    "backslash in a password; an empty entry, as in \"a,,b\", is the empty password). Each enciphered " ..
    "part is tried with the SHA-256 key of each password, then with its legacy key.")

-- Reassembly state, filled on the first pass over the capture: partial messages by
-- (source, opcode, sequence number, last segment number), the message each
-- completing frame holds, and the completing frame of every segment.
local partial, completed, completed_by
-- Deciphered parts by frame and offset, per key.
local lcmp_plain

local function lcmp_reset()
    partial, completed, completed_by, lcmp_plain = {}, {}, {}, {}
end
lcmp_reset()
lcmp.init = lcmp_reset

-- Dissects one configuration-layer record at off inside the value range [off, stop)
-- of tvb; returns the offset after it (nil when it cannot be read) and a summary.
local function lcmp_record(tvb, tree, off, stop)
    if stop - off < 2 then
        tree:add_proto_expert_info(le.record_bad, "Record length field cut short")
        return nil
    end
    local len = tvb(off, 2):le_uint()
    if len < 2 or len > stop - off - 2 then
        local item = tree:add(lf.record, tvb(off, stop - off))
        item:add_le(lf.record_length, tvb(off, 2))
        item:add_proto_expert_info(le.record_bad,
            string.format("Record length %d: below 2 or beyond the value (%d bytes left)", len, stop - off - 2))
        return nil
    end
    local item = tree:add(lf.record, tvb(off, 2 + len))
    item:add_le(lf.record_length, tvb(off, 2))
    local control = tvb(off + 2, 1):uint()
    local ptype = tvb(off + 3, 1):uint()
    item:add(lf.record_control, tvb(off + 2, 1))
    item:add(lf.record_type, tvb(off + 3, 1))
    local data_range = len > 2 and tvb(off + 4, len - 2) or tvb(off + 4, 0)
    local data = len > 2 and data_range:raw() or ""
    if len > 2 then item:add(lf.record_data, data_range) end
    local summary
    if control == 1 then
        local name = render_value(10, data, CODEC_LCMP)
        item:add(lf.name, data_range, name)
        summary = name
        item:set_text("Name: " .. name)
    elseif control == 0 then
        local text, count = render_value(ptype, data, CODEC_LCMP)
        item:add(lf.cfg_value, data_range, text)
        item:add(lf.elements, data_range, count):set_generated()
        summary = text
        item:set_text(string.format("Value (%s): %s", PARAM_TYPE_NAMES[ptype] or tostring(ptype), text))
    elseif control == 2 then
        local text, status = render_status(data, CODEC_LCMP)
        if status then item:add(lf.status, data_range, status) end
        item:add(lf.status_text, data_range, text)
        summary = text
        item:set_text("Status: " .. text)
        if status == nil then item:add_proto_expert_info(le.record_bad, "Status shorter than 4 bytes") end
    else
        summary = "ERROR INVALID CONTROL TYPE"
        item:set_text(string.format("Record with unknown control %d", control))
        item:add_proto_expert_info(le.record_bad, "Unknown record control " .. control)
    end
    return off + 2 + len, summary
end

-- Whether the records of a configuration-layer value, bytes [pos, stop) of s, are whole:
-- each at least a control and a type, within the value, with a known control; a status
-- holds its 4-byte number.
local function lcmp_records_whole(s, pos, stop)
    while pos < stop do
        if stop - pos < 4 then return false end
        local len = s:byte(pos) + 256 * s:byte(pos + 1)
        local control = s:byte(pos + 2)
        if len < 2 or len > stop - pos - 2 or RECORD_CONTROLS[control] == nil then return false end
        if control == 2 and len < 6 then return false end
        pos = pos + 2 + len
    end
    return true
end

-- Whether s is the plain text of an enciphered part that must hold `want` bytes of
-- values: values of known types, each whole, ending exactly at `want`, the records of
-- the configuration-layer values whole, then fewer than 8 zero bytes of padding. A wrong
-- key passes this by chance far too rarely to matter; "some bytes came out" is not
-- enough.
local function lcmp_plain_whole(s, want)
    if want < 3 or want > #s or #s - want >= 8 or s:find("[^\0]", want + 1) then return false end
    local pos = 1
    while pos <= want do
        if want - pos < 2 then return false end
        local vtype = s:byte(pos)
        local vlen = s:byte(pos + 1) + 256 * s:byte(pos + 2)
        local d = pos + 3
        if VALUE_TYPES[vtype] == nil or vlen > want - d + 1 then return false end
        if vtype >= 0x21 and vtype <= 0x25 and not lcmp_records_whole(s, d, d + vlen) then return false end
        pos = d + vlen
    end
    return true
end

local lcmp_values

-- Deciphers the enciphered part [at, at + n) of a message whose header (ctx) declares
-- the length of its values in the clear, and dissects what it holds under item. Returns
-- whether it was deciphered (nil when no password is given); the summaries of its values
-- go to names.
local function lcmp_decipher(tvb, pinfo, item, enc_item, at, n, ctx, names)
    local text = lcmp.prefs.passwords
    local keys = keys_for(text)
    if #keys == 0 then
        if text ~= "" and crypto_error then
            enc_item:add_proto_expert_info(le.undeciphered, crypto_error)
            return false
        end
        return nil
    end
    -- What the values before this part take of the declared length, the rest is ours.
    local want = ctx.declared - (at - ctx.header)
    local plain, k = decipher_part(lcmp_plain, pinfo.number .. ":" .. at, keys, tvb(at, n):raw(),
        function(block)
            return VALUE_TYPES[block:byte(1)] ~= nil and 3 + block:byte(2) + 256 * block:byte(3) <= want
        end,
        function(s) return lcmp_plain_whole(s, want) end)
    if not plain then
        enc_item:add_proto_expert_info(le.undeciphered,
            string.format("None of the %d keys of the passwords given deciphers these %d bytes into whole values",
                #keys, n))
        return false
    end
    local dtvb = ByteArray.new(plain, true):tvb("Deciphered LCMP values")
    local dec = item:add(lf.deciphered, dtvb(0, want))
    dec:set_text(string.format("Deciphered with %s", key_text(k)))
    dec:add(lf.deciphered_password, dtvb(0, want), k.password):set_generated()
    dec:add(lf.deciphered_key, dtvb(0, want), k.form):set_generated()
    local _, more = lcmp_values(dtvb, pinfo, dec, 0, nil, want)
    if #plain > want then dec:add(lf.cipher_padding, dtvb(want)) end
    for _, name in ipairs(more) do names[#names + 1] = name end
    return true
end

-- Dissects the values of a message from off up to stop (its end without one). ctx, the
-- message header's values length and size, is nil for deciphered values, which hold no
-- marker. Returns whether anything was enciphered, the summaries of the values, and
-- whether every enciphered part was deciphered.
lcmp_values = function(tvb, pinfo, tree, off, ctx, stop)
    stop = stop or tvb:len()
    local marker = ctx and lcmp.prefs.marker
    local own = lcmp.prefs.marker_length
    local enciphered, deciphered = false, true
    local names = {}
    while off < stop do
        if stop - off < 3 then
            tree:add(lf.value_data, tvb(off, stop - off)):add_proto_expert_info(le.value_beyond,
                "Value header cut short")
            break
        end
        local vtype = tvb(off, 1):uint()
        local vlen = tvb(off + 1, 2):le_uint()
        local avail = stop - off - 3
        local item = tree:add(lf.value, tvb(off, math.min(3 + vlen, stop - off)))
        item:add(lf.value_type, tvb(off, 1))
        local len_item = item:add_le(lf.value_length, tvb(off + 1, 2))
        local label = VALUE_TYPES[vtype] or string.format("Type 0x%02x", vtype)
        item:set_text(label)
        if vlen > avail then
            len_item:add_proto_expert_info(le.value_beyond,
                string.format("Value length %d, %d bytes left in the message", vlen, avail))
            vlen = avail
        end
        local d = off + 3
        if vtype == marker and vlen > own then
            -- The marker's own data, then every later value enciphered up to its end.
            if own > 0 then
                if vtype == 0x20 and own == 1 then
                    item:add(lf.data_model, tvb(d, 1))
                    item:append_text(": " .. (DATA_MODELS[tvb(d, 1):uint()] or tostring(tvb(d, 1):uint())))
                else
                    item:add(lf.value_data, tvb(d, own))
                end
            end
            local n = vlen - own
            local enc = item:add(lf.enciphered, tvb(d + own, n))
            enc:add(lf.enciphered_length, tvb(d + own, n), n):set_generated()
            if n % 8 ~= 0 then enc:add_proto_expert_info(le.cipher_blocks) end
            item:append_text(string.format(", %d bytes enciphered", n))
            enciphered = true
            local result = lcmp_decipher(tvb, pinfo, item, enc, d + own, n, ctx, names)
            if result == true then
                item:append_text(", deciphered")
            else
                deciphered = false
                if result == nil then
                    enc:add_proto_expert_info(le.enciphered, string.format("%d enciphered bytes follow the marker", n))
                end
            end
        elseif vtype == 0x20 or vtype == 0x27 then
            if vlen >= 1 then
                item:add(lf.data_model, tvb(d, 1))
                item:append_text(": " .. (DATA_MODELS[tvb(d, 1):uint()] or tostring(tvb(d, 1):uint())))
            end
        elseif vtype >= 0x21 and vtype <= 0x25 then
            local pos, parts = d, {}
            while pos ~= nil and pos < d + vlen do
                local summary
                pos, summary = lcmp_record(tvb, item, pos, d + vlen)
                if summary then parts[#parts + 1] = summary end
            end
            if #parts > 0 then
                item:append_text(": " .. table.concat(parts, vtype == 0x23 and ", " or " = "))
                names[#names + 1] = parts[2] and (parts[1] .. "=" .. parts[2]) or parts[1]
            end
        elseif vlen > 0 then
            item:add(lf.value_data, tvb(d, vlen))
        end
        off = d + vlen
    end
    return enciphered, names, enciphered and deciphered
end

local REQUEST_OPCODES = {[0x160] = true, [0x162] = true, [0x164] = true}
local CONFIRM_OPCODES = {[0x161] = true, [0x163] = true, [0x165] = true}

-- Dissects a complete message (the MMPL of one or more segments).
local function lcmp_message(tvb, pinfo, tree, opcode)
    local len = tvb and tvb:len() or 0
    local header
    if REQUEST_OPCODES[opcode] then header = 11
    elseif CONFIRM_OPCODES[opcode] then header = 5
    elseif opcode == 0x166 then header = 6
    else
        if len > 0 then tree:add(lf.value_data, tvb(0, len)) end
        return
    end
    if len < header then
        tree:add_proto_expert_info(le.header_short,
            string.format("%d bytes, the header needs %d", len, header))
        if len > 0 then tree:add(lf.value_data, tvb(0, len)) end
        return
    end
    tree:add(lf.control, tvb(0, 1))
    local off = 1
    if header == 11 then
        tree:add(lf.host, tvb(1, 6))
        off = 7
    end
    tree:add_le(lf.values_length, tvb(off, 2))
    tree:add_le(lf.tid, tvb(off + 2, 2))
    local tid = tvb(off + 2, 2):le_uint()
    if header == 6 then tree:add(lf.ack, tvb(5, 1)) end
    local ctx = {declared = tvb(off, 2):le_uint(), header = header}
    local enciphered, names, deciphered = lcmp_values(tvb, pinfo, tree, header, ctx)
    local info = string.format(" tid=0x%04x", tid)
    if #names > 0 then info = info .. " " .. table.concat(names, " ") end
    if deciphered then info = info .. " [deciphered]"
    elseif enciphered then info = info .. " [enciphered]" end
    pinfo.cols.info:append(info)
end

-- The frame's addresses and VLAN tag, as the Ethernet dissector found them.
local function lcmp_addresses(root)
    local dst = last(f_eth_dst())
    local src = last(f_eth_src())
    if dst and src then
        root:add(lf.dst, dst.range)
        root:add(lf.src, src.range)
        local hex = mac_hex(dst)
        local kind = 0
        if hex == "0119A7527696" then kind = 1
        elseif hex == "FFFFFFFFFFFF" then kind = 2
        elseif bit32.band(dst.range:range(0, 1):uint(), 1) == 1 then kind = 3 end
        root:add(lf.dst_type, dst.range, kind):set_generated()
    end
    local vid = last(f_vlan_id())
    if vid then
        root:add(lf.vlan_id, vid.range, vid.value)
        local prio = last(f_vlan_prio())
        if prio then root:add(lf.vlan_prio, prio.range, prio.value) end
    end
end

-- On the first pass: files the segment; the frame that completes a message gets it whole.
local function lcmp_collect(pinfo, mmh, segment, opcode, seq, seg, last_seg)
    local key = table.concat({src_key(pinfo), opcode, seq}, "/")
    local p = partial[key]
    if p and p.last ~= last_seg then
        mmh:add_proto_expert_info(le.segment_mismatch)
        p = nil
    end
    if p == nil then
        p = {last = last_seg, segs = {}, count = 0}
        partial[key] = p
    end
    if p.segs[seg] then
        mmh:add_proto_expert_info(le.segment_repeated,
            string.format("Segment %d already seen in frame %d", seg, p.segs[seg].frame))
        return
    end
    p.segs[seg] = {frame = pinfo.number, data = segment and segment:raw() or ""}
    p.count = p.count + 1
    if p.count ~= last_seg + 1 then return end
    local parts, frames = {}, {}
    for i = 0, last_seg do
        parts[#parts + 1] = p.segs[i].data
        frames[#frames + 1] = p.segs[i].frame
        completed_by[p.segs[i].frame] = pinfo.number
    end
    completed[pinfo.number] = {data = table.concat(parts), frames = frames, opcode = opcode}
    partial[key] = nil
end

-- A segment of a message in several: the message where this frame completes it, else
-- where it was (or is yet to be) put together.
local function lcmp_segment(tvb, pinfo, root, mmh, segment, opcode, seq, seg, last_seg)
    if segment then root:add(lf.segment_data, segment) end
    if seg > last_seg then
        mmh:add_proto_expert_info(le.segment_number,
            string.format("Segment %d of a message whose last segment is %d", seg, last_seg))
        return
    end
    -- Segments are collected on the first pass; later passes read what it found.
    if not pinfo.visited then lcmp_collect(pinfo, mmh, segment, opcode, seq, seg, last_seg) end
    local done = completed[pinfo.number]
    if done then
        local msg = ByteArray.new(done.data, true):tvb("Reassembled LCMP message")
        local list = root:add(lf.segments, tvb(0, 0))
        list:set_text(string.format("%d segments (%d bytes)", #done.frames, #done.data))
        for i, frame in ipairs(done.frames) do
            list:add(lf.segment_frame, tvb(0, 0), frame):append_text(string.format(" (segment %d)", i - 1))
        end
        root:add(lf.reassembled_length, tvb(0, 0), #done.data):set_generated()
        pinfo.cols.info:append(" [reassembled]")
        lcmp_message(msg, pinfo, root, opcode)
    elseif completed_by[pinfo.number] then
        root:add(lf.reassembled_in, tvb(0, 0), completed_by[pinfo.number]):set_generated()
    else
        root:add_proto_expert_info(le.segment_pending)
    end
end

function lcmp.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "LCMP"
    local root = tree:add(lcmp, tvb())
    lcmp_addresses(root)
    if tvb:len() < 8 then
        root:add_proto_expert_info(le.header_short, "Frame too short for the management message header")
        return
    end
    local length = bit32.bor(tvb(0, 1):uint(), bit32.lshift(bit32.band(tvb(1, 1):uint(), 0x0F), 8))
    local opcode = bit32.bor(bit32.rshift(tvb(1, 1):uint(), 4), bit32.lshift(tvb(2, 1):uint(), 4))
    local last_seg = bit32.band(tvb(4, 1):uint(), 0x0F)
    local seg = bit32.rshift(tvb(4, 1):uint(), 4)
    local seq = tvb(5, 2):le_uint()

    local mmh = root:add(tvb(0, 8), "Management message header")
    local len_item = mmh:add_le(lf.length, tvb(0, 2))
    mmh:add(lf.opcode, tvb(1, 2), opcode)
    mmh:add(lf.reserved, tvb(3, 1))
    mmh:add(lf.last_segment, tvb(4, 1))
    mmh:add(lf.segment, tvb(4, 1))
    mmh:add(lf.segment_count, tvb(4, 1), last_seg + 1):set_generated()
    mmh:add_le(lf.seq, tvb(5, 2))
    mmh:add(lf.version, tvb(7, 1))

    local name = OPCODES[opcode]
    if name == nil then
        mmh:add_proto_expert_info(le.unknown_opcode, string.format("Unknown opcode 0x%03x", opcode))
        name = string.format("Opcode 0x%03x", opcode)
    end
    pinfo.cols.info = string.format("%s seq=%d", name, seq)
    root:append_text(string.format(", %s, seq %d", name, seq))
    if last_seg > 0 then
        pinfo.cols.info:append(string.format(" seg=%d/%d", seg, last_seg))
        root:append_text(string.format(", segment %d of 0..%d", seg, last_seg))
    end

    if length > MAX_SEGMENT then
        len_item:add_proto_expert_info(le.segment_too_long,
            string.format("Segment length %d, at most %d allowed", length, MAX_SEGMENT))
    end
    local avail = tvb:len() - 8
    if length > avail then
        len_item:add_proto_expert_info(le.length_beyond_frame,
            string.format("Segment length %d, the frame holds %d bytes after the header", length, avail))
        if avail > 0 then root:add(lf.segment_data, tvb(8, avail)) end
        return
    end
    if tvb:len() > 8 + length then root:add(lf.padding, tvb(8 + length)) end
    local segment = length > 0 and tvb(8, length) or nil
    if last_seg == 0 then
        lcmp_message(segment and segment:tvb(), pinfo, root, opcode)
    else
        lcmp_segment(tvb, pinfo, root, mmh, segment, opcode, seq, seg, last_seg)
    end
end

DissectorTable.get("ethertype"):add(LCMP_ETHERTYPE, lcmp)

kivo.lcmp = lcmp

end
