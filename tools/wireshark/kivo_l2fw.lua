-- kivo_l2fw.lua: the firmware-transfer frames, SNAP 00:13:9D type 0x0B.
--
-- Part of the kivo plugin: kivo.lua runs the function this file returns once, with the
-- table of what the parts share (kivo_common.lua). Wireshark, which runs every file of its
-- plugin folders, gets only the function from this one and does nothing with it.

return function(kivo)

-- What this part takes from the shared table.
local snap_payload = kivo.snap_payload
local llc_data_length = kivo.llc_data_length
local dst_is_broadcast = kivo.dst_is_broadcast
local src_key = kivo.src_key
local mac_text = kivo.mac_text
local pid_tvb = kivo.pid_tvb
local is_bootrom_announcement = kivo.is_bootrom_announcement

---------------------------------------------------------------------------------------------
-- Firmware transfer (l2fw)
---------------------------------------------------------------------------------------------

local l2fw = Proto("l2fw", "kivo firmware transfer")

local FW_SUBTYPES = {
    [0x00] = "File request", [0x01] = "Start", [0x02] = "Start ack", [0x03] = "Data", [0x04] = "Data ack",
    [0x05] = "End", [0x07] = "End ack", [0x0E] = "Chunk info", [0x0F] = "Chunk info ack",
    [0x10] = "Entry point", [0x11] = "Entry point ack",
}
local LAYOUTS = {[0] = "File (payload at 52)", [1] = "Loader (payload at 28)"}
local LOADER_LENGTHS = {[222] = true, [990] = true}

local ff = {
    subtype = ProtoField.uint8("l2fw.subtype", "Subtype", base.HEX, FW_SUBTYPES),
    length = ProtoField.uint16("l2fw.frame_length", "Frame length (802.3)"),
    phase = ProtoField.string("l2fw.phase", "Transfer"),
    request_word = ProtoField.uint32("l2fw.request_word", "Request word", base.HEX),
    seq = ProtoField.uint16("l2fw.seq", "Sequence number"),
    count = ProtoField.uint16("l2fw.count", "Byte count"),
    layout = ProtoField.uint8("l2fw.layout", "Data layout", base.DEC, LAYOUTS),
    data = ProtoField.bytes("l2fw.data", "Data"),
    info_length = ProtoField.uint16("l2fw.info_length", "Information length"),
    chunk_info = ProtoField.bytes("l2fw.chunk_info", "Chunk information"),
    chunk_word = ProtoField.uint32("l2fw.chunk_info.word", "Chunk information word", base.HEX),
    entry_point = ProtoField.bytes("l2fw.entry_point", "Entry point"),
    entry_word = ProtoField.uint32("l2fw.entry_point.word", "Entry point word", base.HEX),
    info_data = ProtoField.bytes("l2fw.info_data", "Information"),
    chip_id = ProtoField.bytes("l2fw.chip_id", "Chip id"),
    assigned = ProtoField.ether("l2fw.assigned_mac", "Address assigned to the device"),
    mac_assigning = ProtoField.bool("l2fw.mac_assigning", "Address-assigning start frame"),
    reserved = ProtoField.bytes("l2fw.reserved", "Reserved"),
    fill = ProtoField.bytes("l2fw.fill", "Fill"),
}
l2fw.fields = ff

local fe = {
    unknown = ProtoExpert.new("l2fw.unknown_subtype", "Unknown firmware-transfer subtype",
        expert.group.PROTOCOL, expert.severity.WARN),
    beyond = ProtoExpert.new("l2fw.count.beyond_frame", "Byte count goes beyond the frame",
        expert.group.MALFORMED, expert.severity.ERROR),
    length = ProtoExpert.new("l2fw.frame_length.mismatch", "Frame length does not fit the layout",
        expert.group.MALFORMED, expert.severity.WARN),
    short = ProtoExpert.new("l2fw.short", "Frame too short for its fields", expert.group.MALFORMED,
        expert.severity.ERROR),
}
l2fw.experts = {fe.unknown, fe.beyond, fe.length, fe.short}

-- The 802.3 length of the last start frame each host sent: a loader phase (222 or 990)
-- decides the layout of the data frames that follow.
local fw_phase_by_host, fw_layout_of

local function l2fw_reset()
    fw_phase_by_host, fw_layout_of = {}, {}
end
l2fw_reset()
l2fw.init = l2fw_reset

-- Offsets below count from the SNAP payload, 22 bytes into the untagged frame: frame
-- offset 22 (sequence number) is 0 here, 28 is 6, 52 is 30.
local function l2fw_dissect(ptvb, pinfo, tree, pid, llc_length)
    pinfo.cols.protocol = "L2FW"
    local root = tree:add(l2fw, ptvb())
    local subtype = pid % 256
    local pid_r = ptvb(0, 2)
    local sub_item = root:add(ff.subtype, ptvb(1, 1))
    local n = ptvb:len() - 2
    local tvb = n > 0 and ptvb(2):tvb() or nil
    local frame_length = llc_length and llc_length + 8
    if frame_length then root:add(ff.length, pid_r, frame_length):set_generated() end
    local name = FW_SUBTYPES[subtype]
    if name == nil then
        sub_item:add_proto_expert_info(fe.unknown, string.format("Subtype 0x%02x", subtype))
        pinfo.cols.info = string.format("Firmware frame, unknown subtype 0x%02x", subtype)
        if n > 0 then root:add(ff.fill, tvb(0, n)) end
        return
    end
    root:append_text(", " .. name)
    local info = name
    local function need(bytes)
        if n >= bytes then return true end
        root:add_proto_expert_info(fe.short, string.format("%d bytes after the header, %d needed", n, bytes))
        return false
    end
    local host = src_key(pinfo)

    if subtype == 0x00 then
        if need(10) then
            root:add(ff.reserved, tvb(0, 6))
            root:add(ff.request_word, tvb(6, 4))
            if n > 10 then root:add(ff.fill, tvb(10)) end
        end
    elseif subtype == 0x01 then
        local phase
        if frame_length == 46 then phase = "upgrade or firmware"
        elseif frame_length == 222 then phase = "loader, boot ROM version 1 or 2"
        elseif frame_length == 990 then phase = "loader, boot ROM version 3"
        end
        if phase then
            root:add(ff.phase, pid_r, phase):set_generated()
            info = info .. " (" .. phase .. ")"
        end
        if not pinfo.visited and frame_length then fw_phase_by_host[host] = frame_length end
        -- Broadcast with a chip id and an address: the device takes the address as its own.
        local assigning = false
        if dst_is_broadcast() and n >= 20 then
            local chip = tvb(6, 8):raw()
            assigning = chip:find("[^\0]") ~= nil or tvb(14, 6):raw():find("[^\0]") ~= nil
        end
        root:add(ff.mac_assigning, pid_r, assigning):set_generated()
        if assigning then
            root:add(ff.reserved, tvb(0, 6))
            root:add(ff.chip_id, tvb(6, 8))
            root:add(ff.assigned, tvb(14, 6))
            info = string.format("%s: chip %s takes %s", info, tvb(6, 8):bytes():tohex(), mac_text(tvb(14, 6):raw()))
            if n > 20 then root:add(ff.fill, tvb(20)) end
        elseif n > 0 then
            root:add(ff.fill, tvb(0, n))
        end
    elseif subtype == 0x03 then
        if need(4) then
            local seq = tvb(0, 2):le_uint()
            local count = tvb(2, 2):le_uint()
            root:add_le(ff.seq, tvb(0, 2))
            local count_item = root:add_le(ff.count, tvb(2, 2))
            if not pinfo.visited then
                local phase = fw_phase_by_host[host]
                local layout
                if phase then
                    layout = LOADER_LENGTHS[phase] and 1 or 0
                elseif frame_length and LOADER_LENGTHS[frame_length] and frame_length ~= math.max(count + 38, 46) then
                    layout = 1
                else
                    layout = 0
                end
                fw_layout_of[pinfo.number] = layout
            end
            local layout = fw_layout_of[pinfo.number] or 0
            root:add(ff.layout, tvb(2, 2), layout):set_generated()
            local at = layout == 1 and 6 or 30
            if frame_length then
                local expected
                if layout == 0 then expected = math.max(count + 38, 46) end
                if expected and frame_length ~= expected then
                    root:add_proto_expert_info(fe.length,
                        string.format("802.3 length %d, a file data frame of %d bytes has %d", frame_length, count,
                            expected))
                elseif layout == 1 and count > frame_length - 14 then
                    root:add_proto_expert_info(fe.length,
                        string.format("%d bytes do not fit a loader frame of length %d", count, frame_length))
                end
            end
            if n >= at then root:add(ff.reserved, tvb(4, at - 4)) end
            if count > n - at then
                count_item:add_proto_expert_info(fe.beyond,
                    string.format("Byte count %d, the frame holds %d bytes of data", count, math.max(n - at, 0)))
                if n > at then root:add(ff.data, tvb(at, n - at)) end
            else
                if count > 0 then root:add(ff.data, tvb(at, count)) end
                if n > at + count then root:add(ff.fill, tvb(at + count)) end
            end
            info = string.format("%s seq=%d count=%d", info, seq, count)
        end
    elseif subtype == 0x0E or subtype == 0x10 then
        if need(4) then
            root:add(ff.reserved, tvb(0, 2))
            local count = tvb(2, 2):le_uint()
            local count_item = root:add_le(ff.info_length, tvb(2, 2))
            if n >= 30 then root:add(ff.reserved, tvb(4, 26)) end
            if count > n - 30 then
                count_item:add_proto_expert_info(fe.beyond,
                    string.format("Information length %d, the frame holds %d bytes", count, math.max(n - 30, 0)))
            elseif count > 0 then
                local range = tvb(30, count)
                if subtype == 0x0E then
                    local item = root:add(ff.chunk_info, range)
                    if count == 4 then
                        item:add_le(ff.chunk_word, range)
                        info = string.format("%s %s", info, range:bytes():tohex())
                    end
                else
                    if count == 4 then
                        root:add(ff.entry_point, range):add_le(ff.entry_word, range)
                        info = string.format("%s %s", info, range:bytes():tohex())
                    else
                        root:add(ff.info_data, range)
                    end
                end
                if n > 30 + count then root:add(ff.fill, tvb(30 + count)) end
            end
        end
    else
        -- Acknowledgements (and the end frame): a data acknowledgement names its
        -- sequence number; a device in its boot ROM adds its chip id at frame offset 40.
        local from = 0
        if subtype == 0x04 and need(2) then
            root:add_le(ff.seq, tvb(0, 2))
            info = string.format("%s seq=%d", info, tvb(0, 2):le_uint())
            from = 2
        end
        if subtype ~= 0x05 and n >= 26 and tvb(18, 8):raw():find("[^\0]") then
            if from < 18 then root:add(ff.fill, tvb(from, 18 - from)) end
            root:add(ff.chip_id, tvb(18, 8))
            from = 26
        end
        if n > from then root:add(ff.fill, tvb(from, n - from)) end
        if subtype == 0x05 and frame_length then
            if LOADER_LENGTHS[frame_length] then info = info .. " (loader)" end
        end
    end
    pinfo.cols.info = info
end

function l2fw.dissector(tvb, pinfo, tree)
    local pid, source, offset = snap_payload()
    if pid == nil or bit32.rshift(pid, 8) ~= 0x0B then return end
    if pid == 0x0B00 and is_bootrom_announcement(source, offset) then return end
    l2fw_dissect(pid_tvb(source, offset), pinfo, tree, pid, llc_data_length())
end

register_postdissector(l2fw)

end
