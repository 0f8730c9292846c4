-- kivo.lua: Wireshark dissectors for the layer-2 protocols kivohost speaks to devices, the
-- entry of the kivo plugin, which runs its parts from this file's folder:
--
--   kivo_common.lua  the parameter tables, value rendering, CRC-32, deciphering, SNAP glue
--   kivo_crypto.lua  SHA-256, the legacy key hash and 3DES-CBC (loaded by kivo_common.lua)
--   kivo_lcmp.lua    lcmp    EtherType 0x22E3: management message header, segments put back
--                            together, value lists, configuration-layer records (deciphered
--                            with the passwords given)
--   kivo_scp.lua     scp     SNAP 00:13:9D type 0x16: legacy parameter access with items and
--                            CRC-32 (deciphered with the same passwords)
--   kivo_l2disc.lua  l2disc  SNAP 00:13:9D 0C 01 / 0C 02 / 0B 00 with the boot-ROM magic
--   kivo_l2fw.lua    l2fw    SNAP 00:13:9D type 0x0B: the firmware-transfer frames
--
-- Install: copy the folder's kivo*.lua files together, for example to
-- ~/.local/lib/wireshark/plugins/kivo/ (see docs/wireshark.md). Written for the Lua 5.2 API of
-- Wireshark 4.0.

set_plugin_info({
    version = "1.2.0",
    description = "kivo device protocols: LCMP, SCP, discovery, firmware transfer",
})

do
    local dir = (debug.getinfo(1, "S").source or ""):match("^@(.*[/\\])") or ""
    local kivo = {}
    -- In this order: the parts after the first take what the ones before them put in the table
    -- (kivo_scp.lua the LCMP protocol's password preference).
    for _, part in ipairs({"kivo_common.lua", "kivo_lcmp.lua", "kivo_scp.lua", "kivo_l2disc.lua",
                           "kivo_l2fw.lua"}) do
        local ok, run = pcall(dofile, dir .. part)
        if not ok or type(run) ~= "function" then
            error("kivo dissector: " .. part .. " could not be loaded from " ..
                  (dir ~= "" and dir or "the working folder") .. " (" .. tostring(run) ..
                  "); install every kivo*.lua file of the plugin in one folder")
        end
        run(kivo)
    end
end
