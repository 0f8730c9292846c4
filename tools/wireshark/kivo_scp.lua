-- kivo_scp.lua: SCP, SNAP 00:13:9D type 0x16 (legacy parameter access with items and
-- CRC-32, deciphered with the passwords of the LCMP preferences).
--
-- Part of the kivo plugin: kivo.lua runs the function this file returns once, with the
-- table of what the parts share (kivo_common.lua). Wireshark, which runs every file of its
-- plugin folders, gets only the function from this one and does nothing with it.

return function(kivo)

-- What this part takes from the shared table.
local PARAM_TYPE_NAMES = kivo.PARAM_TYPE_NAMES
local CODEC_SCP = kivo.CODEC_SCP
local render_value = kivo.render_value
local render_status = kivo.render_status
local crc32 = kivo.crc32
local crypto_error = kivo.crypto_error
local keys_for = kivo.keys_for
local decipher_part = kivo.decipher_part
local key_text = kivo.key_text
local DECRYPTION_GROUP = kivo.DECRYPTION_GROUP
local last = kivo.last
local snap_payload = kivo.snap_payload
local llc_data_length = kivo.llc_data_length
local src_key = kivo.src_key
local dst_key = kivo.dst_key
local pid_tvb = kivo.pid_tvb
local lcmp = kivo.lcmp

---------------------------------------------------------------------------------------------
-- SCP
---------------------------------------------------------------------------------------------

local scp = Proto("scp", "SCP (legacy parameter access)")

local SCP_OPCODES = {
    [1] = "Get", [2] = "Set", [3] = "Factory reset", [4] = "Get reply", [5] = "Set reply",
    [6] = "Factory reset reply", [7] = "Private get", [8] = "Private set", [9] = "Private get reply",
    [10] = "Private set reply",
}
-- Every message but a plain get and its reply is padded and enciphered.
local SCP_PLAIN = {[1] = true, [4] = true}
local ITEM_TYPES = {[1] = "Name", [2] = "Value", [3] = "Status"}
local CRC_STATUS = {[0] = "Bad", [1] = "Good", [2] = "Unverified"}
local SCP_PAD = 0xE6

local sf = {
    frame_type = ProtoField.uint8("scp.frame_type", "Frame type", base.HEX),
    frame_subtype = ProtoField.uint8("scp.frame_subtype", "Frame subtype", base.HEX),
    opcode = ProtoField.uint8("scp.opcode", "Opcode", base.DEC, SCP_OPCODES),
    fixed = ProtoField.uint8("scp.fixed", "Fixed byte (1)"),
    reserved = ProtoField.bytes("scp.reserved", "Reserved"),
    op_number = ProtoField.uint8("scp.op_number", "Op number"),
    seq = ProtoField.uint8("scp.seq", "Sequence number"),
    last = ProtoField.uint8("scp.last", "Last-item flag", base.DEC, {[0] = "Not set (a reply: more follow)", [1] = "Set"}),
    payload_length = ProtoField.uint16("scp.payload_length", "Payload length"),
    crc = ProtoField.uint32("scp.crc", "CRC-32", base.HEX),
    crc_computed = ProtoField.uint32("scp.crc.computed", "Computed CRC-32", base.HEX),
    crc_status = ProtoField.uint8("scp.crc.status", "CRC status", base.DEC, CRC_STATUS),
    payload = ProtoField.bytes("scp.payload", "Payload"),
    enciphered = ProtoField.bytes("scp.enciphered", "Enciphered payload"),
    item = ProtoField.none("scp.item", "Item"),
    item_length = ProtoField.uint16("scp.item.length", "Length"),
    item_type = ProtoField.uint8("scp.item.type", "Item type", base.DEC, ITEM_TYPES),
    item_subtype = ProtoField.uint8("scp.item.subtype", "Sub-type", base.HEX),
    value_type = ProtoField.uint8("scp.item.value_type", "Value type", base.DEC, PARAM_TYPE_NAMES),
    item_content = ProtoField.bytes("scp.item.content", "Content"),
    name = ProtoField.string("scp.item.name", "Name"),
    value = ProtoField.string("scp.item.value", "Value"),
    status = ProtoField.int32("scp.item.status", "Status"),
    status_text = ProtoField.string("scp.item.status_text", "Status text"),
    continued = ProtoField.bytes("scp.continued", "Rest of an item begun in an earlier message"),
    continued_from = ProtoField.framenum("scp.continued_from", "Item begun in frame", base.NONE),
    continues = ProtoField.bytes("scp.continues", "Item continued in the next message"),
    padding = ProtoField.bytes("scp.padding", "Padding"),
    fill = ProtoField.bytes("scp.fill", "Fill after the message"),
    deciphered = ProtoField.bytes("scp.deciphered", "Deciphered payload"),
    deciphered_password = ProtoField.string("scp.deciphered.password", "Password"),
    deciphered_key = ProtoField.string("scp.deciphered.key", "Key form"),
}
scp.fields = sf

local se = {
    crc_bad = ProtoExpert.new("scp.crc.bad", "Bad CRC-32", expert.group.CHECKSUM, expert.severity.ERROR),
    beyond_frame = ProtoExpert.new("scp.payload_length.beyond_frame", "Payload length goes beyond the frame",
        expert.group.MALFORMED, expert.severity.ERROR),
    beyond_llc = ProtoExpert.new("scp.payload_length.beyond_length_field",
        "Payload goes beyond the 802.3 length field", expert.group.MALFORMED, expert.severity.WARN),
    short = ProtoExpert.new("scp.short", "Frame too short for the SCP header", expert.group.MALFORMED,
        expert.severity.ERROR),
    item_bad = ProtoExpert.new("scp.item.bad", "Malformed item", expert.group.MALFORMED, expert.severity.ERROR),
    unknown_opcode = ProtoExpert.new("scp.unknown_opcode", "Unknown opcode", expert.group.PROTOCOL,
        expert.severity.WARN),
    enciphered = ProtoExpert.new("scp.enciphered.expert", "Payload enciphered; items and CRC not checked",
        expert.group.UNDECODED, expert.severity.NOTE),
    continues = ProtoExpert.new("scp.continues.expert", "Item continues in the next message",
        expert.group.REASSEMBLE, expert.severity.CHAT),
    undeciphered = ProtoExpert.new("scp.undeciphered.expert", "No password given deciphers this payload",
        DECRYPTION_GROUP, expert.severity.WARN),
}
scp.experts = {se.crc_bad, se.beyond_frame, se.beyond_llc, se.short, se.item_bad, se.unknown_opcode,
               se.enciphered, se.continues, se.undeciphered}
scp.prefs.passwords = Pref.statictext("SCP payloads are deciphered with the passwords of the LCMP " ..
    "preferences (Protocols → LCMP → Passwords).")

-- Items that run on into the next reply message, by (source, destination, op number),
-- found on the first pass; and per frame what its first bytes complete.
local scp_open, scp_frames
-- Deciphered payloads by frame, per key.
local scp_plain

local function scp_reset()
    scp_open, scp_frames, scp_plain = {}, {}, {}
end
scp_reset()
scp.init = scp_reset

-- Dissects one item of tvb at off; returns the offset after it and a summary, or nil
-- with the reason when the bytes left do not hold it.
local function scp_item(tvb, tree, off, stop)
    local len = tvb(off, 2):uint()
    if len < 2 then
        local bad = tree:add(sf.item, tvb(off, stop - off))
        bad:add(sf.item_length, tvb(off, 2))
        bad:add_proto_expert_info(se.item_bad, "Item length below 2")
        return nil
    end
    local item = tree:add(sf.item, tvb(off, 2 + len))
    item:add(sf.item_length, tvb(off, 2))
    local itype = tvb(off + 2, 1):uint()
    local sub = tvb(off + 3, 1):uint()
    item:add(sf.item_type, tvb(off + 2, 1))
    local content_range = len > 2 and tvb(off + 4, len - 2) or tvb(off + 4, 0)
    local content = len > 2 and content_range:raw() or ""
    local summary
    if itype == 1 then
        item:add(sf.item_subtype, tvb(off + 3, 1))
        item:add(sf.name, content_range, content)
        item:set_text("Name: " .. content)
        summary = content
    elseif itype == 2 then
        item:add(sf.value_type, tvb(off + 3, 1))
        if len > 2 then item:add(sf.item_content, content_range) end
        local text = render_value(sub, content, CODEC_SCP)
        item:add(sf.value, content_range, text)
        item:set_text(string.format("Value (%s): %s", PARAM_TYPE_NAMES[sub] or tostring(sub), text))
        summary = text
    elseif itype == 3 then
        item:add(sf.item_subtype, tvb(off + 3, 1))
        local text, status = render_status(content, CODEC_SCP)
        if status then item:add(sf.status, content_range, status) end
        item:add(sf.status_text, content_range, text)
        item:set_text("Status: " .. text)
        summary = text
    else
        item:add(sf.item_subtype, tvb(off + 3, 1))
        if len > 2 then item:add(sf.item_content, content_range) end
        item:set_text(string.format("Item of unknown type %d", itype))
        item:add_proto_expert_info(se.item_bad, "Unknown item type " .. itype)
    end
    return off + 2 + len, summary
end

-- Walks the item list in [off, stop) of tvb. padded: up to 7 bytes 0xE6 end the list.
-- Returns the summaries and, when the last item runs on past stop, its first bytes.
local function scp_items(tvb, tree, off, stop, padded, may_continue)
    local summaries = {}
    while off < stop do
        local left = stop - off
        if padded and left < 8 and tvb(off, 1):uint() == SCP_PAD and (left == 1 or tvb(off + 1, 1):uint() == SCP_PAD) then
            tree:add(sf.padding, tvb(off, left))
            return summaries, nil
        end
        if left < 4 or tvb(off, 2):uint() + 2 > left then
            if left >= 2 and tvb(off, 2):uint() < 2 then
                scp_item(tvb, tree, off, stop)
                return summaries, nil
            end
            if not may_continue then
                local bad = tree:add(sf.item, tvb(off, left))
                bad:add_proto_expert_info(se.item_bad,
                    string.format("Item runs past the payload of the last message (%d bytes left)", left))
                return summaries, nil
            end
            local partial_item = tree:add(sf.continues, tvb(off, left))
            partial_item:add_proto_expert_info(se.continues)
            return summaries, tvb(off, left):raw()
        end
        local next_off, summary = scp_item(tvb, tree, off, stop)
        if next_off == nil then return summaries, nil end
        if summary then summaries[#summaries + 1] = summary end
        off = next_off
    end
    return summaries, nil
end

-- Whether the plain payload s of a message that stands alone (a request, or the only
-- message of a reply) is an item list: every item whole, then fewer than 8 bytes of
-- padding, all 0xE6.
local function scp_items_whole(s)
    local pos, n = 1, #s
    while pos <= n do
        local left = n - pos + 1
        if left < 8 and not s:find("[^\230]", pos) then return true end
        if left < 4 then return false end
        local len = s:byte(pos) * 256 + s:byte(pos + 1)
        if len < 2 or len + 2 > left or ITEM_TYPES[s:byte(pos + 2)] == nil then return false end
        pos = pos + 2 + len
    end
    return true
end

-- Deciphers an enciphered payload: the key is right when the plain text matches the CRC,
-- which the sender computed over it, and, for a message that stands alone, is an item
-- list padded to whole blocks. Returns the plain text and the key, or nil; raises the
-- expert info on item when passwords are given and none fits.
local function scp_decipher(tvb, pinfo, item, enc, crc_field, whole)
    local text = lcmp.prefs.passwords
    local keys = keys_for(text)
    if #keys == 0 then
        if text ~= "" and crypto_error then item:add_proto_expert_info(se.undeciphered, crypto_error) end
        return nil
    end
    local plain, k = decipher_part(scp_plain, pinfo.number, keys, enc, nil,
        function(s) return crc32(s) == crc_field and (not whole or scp_items_whole(s)) end)
    if not plain then
        item:add_proto_expert_info(se.undeciphered,
            string.format("None of the %d keys of the passwords given deciphers these %d bytes to the CRC",
                #keys, #enc))
    end
    return plain, k
end

-- The CRC check of a plain payload, or the deciphering of an enciphered one. Returns the
-- payload's items as a tvb (nil when empty), their bytes, the tree they go under, and
-- whether they can be read.
local function scp_payload(tvb, pinfo, root, h)
    local payload = h.length > 0 and tvb(14, h.length):raw() or ""
    local computed = crc32(payload)
    local body = h.length > 0 and tvb(14, h.length):tvb() or nil
    if SCP_PLAIN[h.opcode] or computed == h.crc then
        local good = computed == h.crc
        root:add(sf.crc_computed, tvb(10, 4), computed):set_generated()
        root:add(sf.crc_status, tvb(10, 4), good and 1 or 0):set_generated()
        if not good then
            h.crc_item:add_proto_expert_info(se.crc_bad,
                string.format("CRC-32 0x%08x, computed 0x%08x", h.crc, computed))
            pinfo.cols.info:append(" [bad CRC]")
        end
        return body, payload, root, true
    end
    local enc = h.length > 0 and root:add(sf.enciphered, tvb(14, h.length)) or root
    local stands_alone = not h.reply or (h.seq == 1 and h.last ~= 0)
    local clear, k
    if h.length > 0 then
        clear, k = scp_decipher(tvb, pinfo, enc, payload, h.crc, stands_alone)
    end
    if not clear then
        root:add(sf.crc_status, tvb(10, 4), 2):set_generated()
        if lcmp.prefs.passwords == "" then enc:add_proto_expert_info(se.enciphered) end
        pinfo.cols.info:append(" [enciphered]")
        return body, payload, root, false
    end
    root:add(sf.crc_status, tvb(10, 4), 1):set_generated()
    body = ByteArray.new(clear, true):tvb("Deciphered SCP payload")
    local dec = root:add(sf.deciphered, body())
    dec:set_text(string.format("Deciphered with %s", key_text(k)))
    dec:add(sf.deciphered_password, body(), k.password):set_generated()
    dec:add(sf.deciphered_key, body(), k.form):set_generated()
    pinfo.cols.info:append(" [deciphered]")
    return body, clear, dec, true
end

-- On the first pass: how this message continues an item left open by the previous message
-- of its reply, remembered for later passes.
local function scp_continuation(pinfo, key, payload, seq)
    local open = scp_open[key]
    scp_open[key] = nil
    if not (open and seq == open.seq + 1 and #open.bytes < 2 + 65535) then return end
    local joined = open.bytes .. payload
    if #joined < 2 then return end
    local total = 2 + joined:byte(1) * 256 + joined:byte(2)
    local need = total - #open.bytes
    if need <= #payload then
        scp_frames[pinfo.number] = {from = open.frame, head = open.bytes, need = need}
    else
        -- The item spans this whole message as well.
        scp_frames[pinfo.number] = {from = open.frame, head = open.bytes, need = #payload, open = true}
        scp_open[key] = {seq = seq, bytes = joined, frame = open.frame}
    end
end

-- The payload's items, an item left open by the previous message of the reply first.
local function scp_payload_items(pinfo, parent, body, payload, h)
    local items = parent:add(body(), "Items")
    local start = 0
    local key = table.concat({src_key(pinfo), dst_key(pinfo), h.opcode, h.op_number}, "/")
    if not pinfo.visited then scp_continuation(pinfo, key, payload, h.seq) end
    local cont = scp_frames[pinfo.number]
    local summaries = {}
    if cont then
        start = cont.need
        local part = items:add(sf.continued, body(0, cont.need))
        part:add(sf.continued_from, body(0, 0), cont.from):set_generated()
        if cont.open then return end
        local whole = ByteArray.new(cont.head .. payload:sub(1, cont.need), true):tvb("SCP item across messages")
        local _, summary = scp_item(whole, items, 0, whole:len())
        if summary then summaries[#summaries + 1] = summary end
    end
    local more, rest = scp_items(body, items, start, h.length, not SCP_PLAIN[h.opcode], h.last == 0)
    for _, s in ipairs(more) do summaries[#summaries + 1] = s end
    if rest and not pinfo.visited and h.last == 0 then
        scp_open[key] = {seq = h.seq, bytes = rest, frame = pinfo.number}
    end
    if #summaries > 0 then pinfo.cols.info:append(" " .. table.concat(summaries, " ")) end
end

-- ptvb starts at the SNAP protocol id (frame type and subtype); the SCP message follows.
local function scp_dissect(ptvb, pinfo, tree, llc_length)
    pinfo.cols.protocol = "SCP"
    local root = tree:add(scp, ptvb())
    root:add(sf.frame_type, ptvb(0, 1))
    root:add(sf.frame_subtype, ptvb(1, 1))
    local n = ptvb:len() - 2
    if n < 14 then
        root:add_proto_expert_info(se.short, string.format("%d bytes, the header takes 14", n))
        pinfo.cols.info = "SCP frame too short"
        return
    end
    local tvb = ptvb(2):tvb()
    local op_item = root:add(sf.opcode, tvb(0, 1))
    root:add(sf.fixed, tvb(1, 1))
    root:add(sf.reserved, tvb(2, 1))
    root:add(sf.op_number, tvb(3, 1))
    root:add(sf.seq, tvb(4, 1))
    root:add(sf.last, tvb(5, 1))
    root:add(sf.reserved, tvb(6, 2))
    local plen_item = root:add(sf.payload_length, tvb(8, 2))
    local h = {opcode = tvb(0, 1):uint(), length = tvb(8, 2):uint(), crc = tvb(10, 4):uint(),
        crc_item = root:add(sf.crc, tvb(10, 4)), op_number = tvb(3, 1):uint(), seq = tvb(4, 1):uint(),
        last = tvb(5, 1):uint()}

    local name = SCP_OPCODES[h.opcode]
    if name == nil then
        op_item:add_proto_expert_info(se.unknown_opcode, "Unknown opcode " .. h.opcode)
        name = "Opcode " .. h.opcode
    end
    local op = h.opcode
    h.reply = op == 4 or op == 5 or op == 6 or op == 9 or op == 10
    pinfo.cols.info = string.format("%s op=%d seq=%d%s", name, h.op_number, h.seq,
        (h.reply and h.last == 0) and " more" or "")
    root:append_text(string.format(", %s, op %d, seq %d", name, h.op_number, h.seq))

    local avail = n - 14
    if h.length > avail then
        plen_item:add_proto_expert_info(se.beyond_frame,
            string.format("Payload length %d, the frame holds %d bytes", h.length, avail))
        root:add(sf.crc_status, tvb(10, 4), 2):set_generated()
        if avail > 0 then root:add(sf.payload, tvb(14, avail)) end
        pinfo.cols.info:append(" [payload beyond the frame]")
        return
    end
    if llc_length and h.length + 14 > llc_length then
        plen_item:add_proto_expert_info(se.beyond_llc,
            string.format("The 802.3 length field leaves %d bytes for the message, it takes %d", llc_length,
                h.length + 14))
    end
    local body, payload, parent, readable = scp_payload(tvb, pinfo, root, h)
    if n > 14 + h.length then root:add(sf.fill, tvb(14 + h.length)) end
    if readable and h.length > 0 then scp_payload_items(pinfo, parent, body, payload, h) end
end

function scp.dissector(tvb, pinfo, tree)
    local pid, source, offset = snap_payload()
    if pid == nil or bit32.rshift(pid, 8) ~= 0x16 then return end
    scp_dissect(pid_tvb(source, offset), pinfo, tree, llc_data_length())
end

register_postdissector(scp)

end
