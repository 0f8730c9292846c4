-- kivo_l2disc.lua: discovery, SNAP 00:13:9D 0C 01 / 0C 02 / 0B 00 with the boot-ROM magic.
--
-- Part of the kivo plugin: kivo.lua runs the function this file returns once, with the
-- table of what the parts share (kivo_common.lua). Wireshark, which runs every file of its
-- plugin folders, gets only the function from this one and does nothing with it.

return function(kivo)

-- What this part takes from the shared table.
local snap_payload = kivo.snap_payload
local pid_tvb = kivo.pid_tvb
local is_bootrom_announcement = kivo.is_bootrom_announcement

---------------------------------------------------------------------------------------------
-- Discovery (l2disc)
---------------------------------------------------------------------------------------------

local l2disc = Proto("l2disc", "kivo layer-2 discovery")

local DISC_TYPES = {[1] = "Discovery probe", [2] = "Legacy reply", [3] = "Boot-ROM announcement"}

local df = {
    kind = ProtoField.uint8("l2disc.type", "Frame", base.DEC, DISC_TYPES),
    pid = ProtoField.uint16("l2disc.pid", "SNAP protocol id", base.HEX),
    reserved = ProtoField.bytes("l2disc.reserved", "Reserved"),
    magic = ProtoField.uint32("l2disc.magic", "Magic", base.HEX),
    rom_subversion = ProtoField.uint16("l2disc.rom.subversion", "ROM subversion"),
    rom_version = ProtoField.uint16("l2disc.rom.version", "ROM version"),
    chip_id = ProtoField.bytes("l2disc.chip_id", "Chip id"),
    device_type = ProtoField.uint8("l2disc.device_type", "Discovered as device type", base.DEC,
        {[0] = "Boot ROM", [1] = "Boot ROM version 3", [2] = "Legacy SCP device"}),
    fill = ProtoField.bytes("l2disc.fill", "Fill"),
}
l2disc.fields = df

local de = {
    short = ProtoExpert.new("l2disc.short", "Announcement too short for its fields", expert.group.MALFORMED,
        expert.severity.ERROR),
    unknown = ProtoExpert.new("l2disc.unknown_subtype", "Unknown discovery subtype", expert.group.PROTOCOL,
        expert.severity.WARN),
}
l2disc.experts = {de.short, de.unknown}

local function l2disc_dissect(ptvb, pinfo, tree, pid)
    pinfo.cols.protocol = "L2DISC"
    local root = tree:add(l2disc, ptvb())
    local pid_r = ptvb(0, 2)
    root:add(df.pid, pid_r)
    local n = ptvb:len() - 2
    local tvb = n > 0 and ptvb(2):tvb() or nil
    if pid == 0x0C01 then
        root:add(df.kind, pid_r, 1):set_generated()
        pinfo.cols.info = "Discovery probe"
        if n > 0 then root:add(df.fill, tvb(0, n)) end
    elseif pid == 0x0C02 then
        root:add(df.kind, pid_r, 2):set_generated()
        root:add(df.device_type, pid_r, 2):set_generated()
        pinfo.cols.info = "Legacy reply"
        if n > 0 then root:add(df.fill, tvb(0, n)) end
    elseif pid == 0x0B00 then
        root:add(df.kind, pid_r, 3):set_generated()
        -- Offsets from the SNAP payload: 6 reserved, magic, subversion, version, 4
        -- reserved, chip id.
        if n < 14 then
            root:add_proto_expert_info(de.short, string.format("%d bytes, the ROM version ends at 14", n))
            return
        end
        root:add(df.reserved, tvb(0, 6))
        root:add(df.magic, tvb(6, 4))
        root:add_le(df.rom_subversion, tvb(10, 2))
        root:add_le(df.rom_version, tvb(12, 2))
        local version = tvb(12, 2):le_uint()
        local subversion = tvb(10, 2):le_uint()
        root:add(df.device_type, tvb(12, 2), version == 3 and 1 or 0):set_generated()
        local info = string.format("Boot-ROM announcement version %d subversion %d", version, subversion)
        if n >= 26 then
            root:add(df.reserved, tvb(14, 4))
            root:add(df.chip_id, tvb(18, 8))
            info = info .. " chip " .. tvb(18, 8):bytes():tohex()
            if n > 26 then root:add(df.fill, tvb(26)) end
        else
            root:add_proto_expert_info(de.short, "No room for the chip id")
        end
        pinfo.cols.info = info
    else
        root:add_proto_expert_info(de.unknown, string.format("SNAP protocol id 0x%04x", pid))
        pinfo.cols.info = string.format("Discovery frame 0x%04x", pid)
    end
end

function l2disc.dissector(tvb, pinfo, tree)
    local pid, source, offset = snap_payload()
    if pid == nil then return end
    if bit32.rshift(pid, 8) == 0x0C or (pid == 0x0B00 and is_bootrom_announcement(source, offset)) then
        l2disc_dissect(pid_tvb(source, offset), pinfo, tree, pid)
    end
end

register_postdissector(l2disc)

end
