-- kivo.lua: Wireshark dissectors for the layer-2 protocols kivohost speaks to devices.
--
--   lcmp    EtherType 0x22E3: management message header, segments put back together,
--           value lists, configuration-layer records (deciphered with the passwords given)
--   scp     SNAP 00:13:9D type 0x16: legacy parameter access with items and CRC-32
--           (deciphered with the same passwords)
--   l2disc  SNAP 00:13:9D 0C 01 / 0C 02 / 0B 00 with the boot-ROM magic: discovery
--   l2fw    SNAP 00:13:9D type 0x0B: the firmware-transfer frames
--
-- Install: copy this file and kivo_crypto.lua beside it to ~/.local/lib/wireshark/plugins/
-- (see docs/wireshark.md). Written for the Lua 5.2 API of Wireshark 4.0.

set_plugin_info({
    version = "1.1.0",
    description = "kivo device protocols: LCMP, SCP, discovery, firmware transfer",
})

local OUI = 0x00139D
local LCMP_ETHERTYPE = 0x22E3

---------------------------------------------------------------------------------------------
-- Shared tables
---------------------------------------------------------------------------------------------

local PARAM_TYPE_NAMES = {
    [0] = "EVENT", "INT8S", "INT8U", "INT16S", "INT16U", "INT32S", "INT32U", "BOOL", "MAC_ADDR", "IP_ADDR",
    "STRING", "IPV6_ADDR", "FLUP_SRC", "NODE_NODE_TYPE", "MPP2IGMP_PORT", "HW_PROD", "HW_REVISION", "ASIC",
    "POWERSAVINGMODE", "CONSOLE_AUTHMETHOD", "FORCE_NODE", "ETHIFDRIVER_SPEED", "ETHIFDRIVER_DUPLEX",
    "ETHIFDRIVER_IFACETYPE", "ETHIFDRIVER_MODE", "AKM_MICSIZE", "UART_SPEED", "UART_DATA_SIZE", "UART_STOP_BIT",
    "UART_PARITY", "TIME", "INT64U", "LOGFILE_PROTOCOL", "LOGFILE_DESTINATION", "HGF_CERTIF_VERSION", "FEC_RATE",
    "VLAN_PORT_CONFIG",
}
PARAM_TYPE_NAMES[253] = "NOT_DEFINED"
PARAM_TYPE_NAMES[254] = "SET_OK"
PARAM_TYPE_NAMES[255] = "ERROR"
local LAST_VALUE_TYPE = 36

-- Product identifiers of HW_PROD values. The legacy (SCP) path knows the first 39 only.
local PRODUCTS = {
    {"ALDER-100", 0x00010100}, {"ALDER-110", 0x00010110}, {"ALDER-200", 0x00010200},
    {"ALDER-210W", 0x00010210}, {"BIRCH-10", 0x00020010}, {"BIRCH-20", 0x00020020},
    {"BIRCH-20P", 0x00020021}, {"BIRCH-40", 0x00020040}, {"CEDAR-1", 0x00030001},
    {"CEDAR-2", 0x00030002}, {"CEDAR-2X", 0x00030012}, {"CEDAR-4", 0x00030004},
    {"DUNE-A", 0x0004000A}, {"DUNE-B", 0x0004000B}, {"DUNE-C", 0x0004000C},
    {"ELM-300", 0x00050300}, {"ELM-310", 0x00050310}, {"ELM-320", 0x00050320},
    {"ELM-330T", 0x00050331}, {"FJORD-S", 0x00060001}, {"FJORD-M", 0x00060002},
    {"FJORD-L", 0x00060003}, {"GROVE-5", 0x00070005}, {"GROVE-7", 0x00070007},
    {"GROVE-9", 0x00070009}, {"HAVEN-1G", 0x00080001}, {"HAVEN-2G", 0x00080002},
    {"HAVEN-2GW", 0x00080102}, {"ISLE-50", 0x00090050}, {"ISLE-60", 0x00090060},
    {"JUNIPER-1", 0x000A0001}, {"JUNIPER-2", 0x000A0002}, {"JUNIPER-3", 0x000A0003},
    {"KELP-EB", 0x000B00EB}, {"KELP-ET", 0x000B00E7}, {"LARCH-800", 0x000C0800},
    {"LARCH-900", 0x000C0900}, {"MAPLE-1100X", 0x80000001}, {"MAPLE-1200", 0x80000002},
    {"NOVA-10G", 0x000E0010}, {"NOVA-20G", 0x000E0020}, {"OAK-7000", 0x000F7000},
    {"PINE-M2", 0xFFFF0002},
}
local LEGACY_PRODUCT_COUNT = 39

-- Enumerated parameter types: names by code and the text of a code without a name.
local function enum(names, fallback) return {names = names, fallback = fallback} end
local ENUMS = {
    [12] = enum({[0] = "TFTP", [1] = "FTP", [2] = "L2"}, "Unknown"),
    [13] = enum({[1] = "DOMAIN_MASTER", [2] = "END_POINT"}, "Unknown"),
    [19] = enum({[0] = "LEGACY", [1] = "LOCAL", [3] = "RADIUS"}, "Unknown"),
    [20] = enum({[0] = "NONE", [1] = "DOMAIN_MASTER", [2] = "END_POINT"}, ""),
    [21] = enum({[0] = "100", [1] = "1000", [2] = "10", [3] = "2500"}, "Unknown"),
    [22] = enum({[1] = "HALF_DUPLEX", [2] = "FULL_DUPLEX"}, "Unknown"),
    [23] = enum({[1] = "MII", [2] = "SSMII", [3] = "RGMII", [4] = "GMII", [5] = "SGMII"}, "Unknown"),
    [24] = enum({[1] = "MAC", [2] = "PHY"}, "Unknown"),
    [25] = enum({[1] = "4", [3] = "8", [7] = "16"}, "Unknown"),
    [26] = enum({"b150", "b300", "b600", "b1200", "b2400", "b4800", "b9600", "b19k2", "b38k4", "b57k6", "b115k2"}, ""),
    [27] = enum({"bits5", "bits6", "bits7", "bits8"}, ""),
    [28] = enum({"stop1", "stop2"}, ""),
    [29] = enum({"none", "even", "odd"}, ""),
    [32] = enum({[0] = "LOCAL", [1] = "FTP"}, "???"),
    [33] = enum({[0] = "LOCAL", [1] = "FTP"}, "???"),
    [34] = enum({[0] = "1.1", [1] = "1.2", [2] = "1.3"}, "???"),
    [35] = enum({"1/2", "2/3", "5/6", "16/18", "20/21"}, "???"),
    [36] = enum({[0] = "NONE", [1] = "ACCESS", [2] = "TRUNK"}, "???"),
}

-- Messages of the devices' status codes, by n of the status -n.
local DEVICE_ERRORS = {
    [1] = "Requested action not supported",
    [2] = "Component not initialized",
    [3] = "Component not started",
    [4] = "Wrong parameter",
    [5] = "Not enough memory",
    [31] = "Unknown error",
    [32] = "Trying to install a group twice",
    [33] = "Trying to install a Subgroup twice",
    [34] = "Searching for a group that has not been installed",
    [35] = "Searching for a subgroup that has not been installed",
    [36] = "Searching for a parameter that has not been installed",
    [37] = "Parameter not in cache",
    [38] = "Error detected when calling param set function",
    [39] = "Error detected when calling param change function",
    [40] = "Error detected when calling param get function",
    [41] = "Could not find a parameter matching an old parameter string",
    [42] = "Could not find a parameter matching an old parameter code",
    [43] = "Could not convert an old parameter value to the new format",
    [44] = "No 'set' function callback was registered for the parameter",
    [45] = "No 'get' function callback was registered for the parameter",
    [46] = "Cannot register 'get' function for non readable parameter",
    [47] = "Cannot register 'set' function for non writable parameter",
    [48] = "Cannot open configuration file",
    [49] = "The configuration file is corrupt",
    [50] = "There are no more parameters in the config file for the current subgroup",
    [51] = "There is no such group in the configuration file",
    [52] = "There is no such subgroup in the configuration file",
    [53] = "There is no such param in the configuration file",
    [54] = "The stored flag for the parameter is not set. File operation failed",
    [55] = "Trying to perform an operation without the necessary permits",
    [56] = "Cannot open file to dump information",
    [57] = "Private file hash is not correct",
    [58] = "Index used for a parameter is larger than number of elements",
    [59] = "Callback passed not registered for this parameter",
    [60] = "Parameter cannot be set via scp",
    [61] = "There was an error during the process of updating the config files",
    [62] = "There was an error during the process of adding a new parameter type",
    [63] = "A parameter has been defined with too many '_' in it",
    [64] = "The parameter cannot be configured via TXT files",
    [65] = "A parameter with STORED flag on cannot change its size at run time",
    [66] = "Trying to perform an operation with wrong permit set",
    [67] = "There is some error in the parameter documentation. It must not be left empty",
    [68] = "Invalid value detected when calling param value check function",
    [69] = "Invalid Store operation over a non STORED parameter",
    [70] = "Failure accessing configuration file",
    [71] = "Failure accessing configuration file",
    [72] = "A subgroup in file is corrupted (sizes don't match)",
    [73] = "The LCMP message content is too large",
    [77] = "LCMP failed due Remote File Access",
}

local WEEKDAYS = {[0] = "Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"}
local MONTHS = {[0] = "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"}

---------------------------------------------------------------------------------------------
-- Value rendering: the text kivohost gives a front-end for a value of a parameter type.
-- Two codecs: LCMP (little-endian, every product, speed 2500) and legacy SCP (big-endian,
-- the older products, all-zero MAC addresses left out of lists).
---------------------------------------------------------------------------------------------

local CODEC_LCMP = {little = true, products = #PRODUCTS, speed2500 = true, filter_mac = false,
                    unknown_type = function() return "Unknown" end}
local CODEC_SCP = {little = false, products = LEGACY_PRODUCT_COUNT, speed2500 = false, filter_mac = true,
                   unknown_type = function(t) return "Unknown type " .. t end}

local function load_uint(s, pos, n, little)
    local v = 0
    for i = 0, n - 1 do
        local b = little and s:byte(pos + n - 1 - i) or s:byte(pos + i)
        v = v * 256 + b
    end
    return v
end

local function to_signed(v, bits)
    local half = 2 ^ (bits - 1)
    if v >= half then return v - 2 ^ bits end
    return v
end

local function load64_text(s, pos, little)
    local lo, hi
    if little then
        lo, hi = load_uint(s, pos, 4, true), load_uint(s, pos + 4, 4, true)
    else
        hi, lo = load_uint(s, pos, 4, false), load_uint(s, pos + 4, 4, false)
    end
    return tostring(UInt64.new(lo, hi))
end

local LIST_ELEMENT_SIZE = {[1] = 1, [2] = 1, [7] = 1, [3] = 2, [4] = 2, [5] = 4, [6] = 4, [9] = 4,
                           [8] = 6, [31] = 8, [11] = 16}

-- One list element; nil when it is left out (a filtered all-zero MAC address).
local function render_element(ptype, s, pos, codec)
    local little = codec.little
    if ptype == 1 then return string.format("%d", to_signed(s:byte(pos), 8))
    elseif ptype == 2 then return string.format("%d", s:byte(pos))
    elseif ptype == 3 then return string.format("%d", to_signed(load_uint(s, pos, 2, little), 16))
    elseif ptype == 4 then return string.format("%d", load_uint(s, pos, 2, little))
    elseif ptype == 5 then return string.format("%d", to_signed(load_uint(s, pos, 4, little), 32))
    elseif ptype == 6 then return string.format("%d", load_uint(s, pos, 4, little))
    elseif ptype == 31 then return load64_text(s, pos, little)
    elseif ptype == 7 then
        local b = s:byte(pos)
        if b == 1 then return "YES" elseif b == 0 then return "NO" end
        return ""  -- neither: no characters, the separators stay
    elseif ptype == 8 then
        local bytes = {s:byte(pos, pos + 5)}
        if codec.filter_mac then
            local any = false
            for _, b in ipairs(bytes) do if b ~= 0 then any = true end end
            if not any then return nil end
        end
        local parts = {}
        for i, b in ipairs(bytes) do parts[i] = string.format("%02X", b) end
        return table.concat(parts, ":")
    elseif ptype == 9 then
        return string.format("%d.%d.%d.%d", s:byte(pos, pos + 3))
    elseif ptype == 11 then
        local groups = {}
        for i = 0, 7 do groups[i + 1] = string.format("%02X%02X", s:byte(pos + 2 * i, pos + 2 * i + 1)) end
        return table.concat(groups, ":")
    end
    return ""
end

-- Day of month (no padding) and clock fields (one leading zero) for 0 to 9; other
-- numbers keep the first two characters of their decimal form, as the service does.
local function time_field(v, pad)
    if v >= 0 and v <= 9 then return (pad and "0" or "") .. string.format("%d", v) end
    return string.format("%d", v):sub(1, 2)
end

local function render_time(s, little)
    if #s < 28 then return "" end
    local f = {}
    for i = 0, 6 do f[i] = to_signed(load_uint(s, 1 + 4 * i, 4, little), 32) end
    local sec, min, hour, mday, mon, year, wday = f[0], f[1], f[2], f[3], f[4], f[5], f[6]
    return string.format("%s %s %s %s:%s:%s %s", WEEKDAYS[wday] or "Err", MONTHS[mon] or "Err",
        time_field(mday, false), time_field(hour, true), time_field(min, true), time_field(sec, true),
        string.format("%d", year + 1900):sub(1, 4))
end

local function product_name(id, codec)
    for i = 1, codec.products do
        if PRODUCTS[i][2] == id then return PRODUCTS[i][1] end
    end
    return nil
end

-- Text of a value s (a Lua string of bytes) of parameter type ptype, and the number
-- of list elements it holds.
local function render_value(ptype, s, codec)
    if ptype > LAST_VALUE_TYPE then return codec.unknown_type(ptype), 1 end
    local size = LIST_ELEMENT_SIZE[ptype]
    if size then
        local parts = {}
        for i = 0, math.floor(#s / size) - 1 do
            local e = render_element(ptype, s, 1 + i * size, codec)
            if e then parts[#parts + 1] = e end
        end
        return table.concat(parts, ","), math.max(#parts, 1)
    end
    if ptype == 0 then
        return #s >= 1 and string.format("%d", s:byte(1)) or "", 1
    elseif ptype == 10 then
        local zero = s:find("\0", 1, true)
        return zero and s:sub(1, zero - 1) or s, 1
    elseif ptype == 15 then
        local name = #s >= 4 and product_name(load_uint(s, 1, 4, codec.little), codec)
        return name or "Unknown", 1
    elseif ptype == 16 then
        if #s < 4 then return "", 1 end
        local v = load_uint(s, 1, 4, codec.little)
        return string.format("%d_%d", math.floor(v / 65536), v % 65536), 1
    elseif ptype == 17 then
        if #s < 4 then return "", 1 end
        return string.format("%d", to_signed(load_uint(s, 1, 4, codec.little), 32)), 1
    elseif ptype == 30 then
        return render_time(s, codec.little), 1
    elseif ptype == 14 or ptype == 18 then
        return "", 1
    end
    local table_ = ENUMS[ptype]
    if table_ then
        local one_byte = ptype == 19
        local need = one_byte and 1 or 4
        if #s < need then return table_.fallback, 1 end
        local code = one_byte and s:byte(1) or load_uint(s, 1, 4, codec.little)
        if ptype == 21 and code == 3 and not codec.speed2500 then return table_.fallback, 1 end
        return table_.names[code] or table_.fallback, 1
    end
    return "", 1
end

-- Text of a status value, as the service shows a refused parameter.
local function render_status(s, codec)
    if #s < 4 then return "ERROR INVALID STATUS VALUE", nil end
    local raw = load_uint(s, 1, 4, codec.little)
    local status = to_signed(raw, 32)
    local n = (2 ^ 32 - raw) % 2 ^ 32
    if codec == CODEC_SCP then n = n % 256 end
    if n == 0 then return "OK", status end
    local message = DEVICE_ERRORS[n]
    if codec == CODEC_SCP then
        if message == nil or n > 63 then return "ERROR UNKNOWN", status end
        return string.format("ERROR -%d %s", n, message), status
    end
    return string.format("ERROR -%d %s", n, message or "Unknown error code"), status
end

---------------------------------------------------------------------------------------------
-- CRC-32 of SCP payloads: reflected polynomial 0xEDB88320, preset all ones, no final
-- inversion.
---------------------------------------------------------------------------------------------

local CRC_TABLE = {}
for i = 0, 255 do
    local v = i
    for _ = 1, 8 do
        if bit32.band(v, 1) == 1 then v = bit32.bxor(bit32.rshift(v, 1), 0xEDB88320) else v = bit32.rshift(v, 1) end
    end
    CRC_TABLE[i] = v
end

local function crc32(s)
    local crc = 0xFFFFFFFF
    for i = 1, #s do
        crc = bit32.bxor(bit32.rshift(crc, 8), CRC_TABLE[bit32.band(bit32.bxor(crc, s:byte(i)), 0xFF)])
    end
    return crc
end

---------------------------------------------------------------------------------------------
-- Deciphering. The ciphers live in kivo_crypto.lua beside this file; without it the
-- dissector still runs and says why it cannot decipher.
---------------------------------------------------------------------------------------------

local crypto, crypto_error
do
    local dir = (debug.getinfo(1, "S").source or ""):match("^@(.*[/\\])") or ""
    local ok, result = pcall(dofile, dir .. "kivo_crypto.lua")
    if ok and type(result) == "table" then
        crypto = result
    else
        crypto_error = "kivo_crypto.lua could not be loaded from " .. (dir ~= "" and dir or "the working folder") ..
            " (" .. tostring(result) .. "); install it beside kivo.lua"
        -- Once, at start: everything else works, only deciphering does not.
        report_failure("kivo dissector: " .. crypto_error .. ". Enciphered LCMP and SCP parts stay enciphered.")
    end
end

-- The passwords of the preference text: separated by commas, a backslash takes the next
-- character as it is (\, a comma, \\ a backslash). An empty entry is the empty password;
-- an empty text is no password at all.
local function split_passwords(text)
    local out, seen = {}, {}
    if text == nil or text == "" then return out end
    local cur, i = {}, 1
    local function finish()
        local p = table.concat(cur)
        if not seen[p] then
            seen[p] = true
            out[#out + 1] = p
        end
        cur = {}
    end
    while i <= #text do
        local c = text:sub(i, i)
        if c == "\\" and i < #text then
            cur[#cur + 1] = text:sub(i + 1, i + 1)
            i = i + 1
        elseif c == "," then
            finish()
        else
            cur[#cur + 1] = c
        end
        i = i + 1
    end
    finish()
    return out
end

-- Prepared keys by preference text: for each password its SHA-256 key, then its legacy
-- key, as the service tries them. Making a key schedule costs more than a block, so each
-- is made once.
local keys_by_text = {}

local function keys_for(text)
    local keys = keys_by_text[text]
    if keys then return keys end
    keys = {}
    if crypto then
        for _, password in ipairs(split_passwords(text)) do
            keys[#keys + 1] = {password = password, form = "SHA-256", id = "s:" .. password,
                               key = crypto.des3_key(crypto.sha256(password))}
            keys[#keys + 1] = {password = password, form = "legacy", id = "l:" .. password,
                               key = crypto.des3_key(crypto.legacy_key(password))}
        end
    end
    keys_by_text[text] = keys
    return keys
end

-- Deciphers the part `enc` (a byte string) with the first key whose plain text `accept`
-- takes, trying the keys in order. `probe`, given the first block alone, turns away most
-- wrong keys before the whole part is deciphered. Results are kept per part and key, so
-- dissecting the frame again (every click in the GUI) deciphers nothing anew. Returns
-- the plain text and the key, or nil.
local function decipher_part(cache, part, keys, enc, probe, accept)
    if #enc == 0 or #enc % 8 ~= 0 then return nil end
    local tried = cache[part]
    if tried == nil then
        tried = {}
        cache[part] = tried
    end
    for _, k in ipairs(keys) do
        local plain = tried[k.id]
        if plain == nil then
            plain = false
            local head = crypto.des3_cbc_decipher(k.key, enc, 1)
            if probe == nil or probe(head) then
                local all = head .. crypto.des3_cbc_decipher(k.key, enc, nil, 2)
                if accept(all) then plain = all end
            end
            tried[k.id] = plain
        end
        if plain then return plain, k end
    end
    return nil
end

local function key_text(k)
    return string.format("password \"%s\", %s key", k.password, k.form)
end

local DECRYPTION_GROUP = expert.group.DECRYPTION or expert.group.UNDECODED

---------------------------------------------------------------------------------------------
-- Frame context: the fields of the lower layers that the dissectors below need.
---------------------------------------------------------------------------------------------

local f_eth_dst = Field.new("eth.dst")
local f_eth_src = Field.new("eth.src")
local f_eth_len = Field.new("eth.len")
local f_vlan_len = Field.new("vlan.len")
local f_vlan_id = Field.new("vlan.id")
local f_vlan_prio = Field.new("vlan.priority")
local f_llc_oui = Field.new("llc.oui")
local f_llc_pid = Field.new("llc.pid")

local function last(...)
    local all = {...}
    return all[#all]
end

local function mac_hex(fi)
    if fi == nil then return nil end
    return fi.range:bytes():tohex()
end

-- The SNAP payload of a frame carrying our OUI: PID, the data source and the offset of
-- the first byte after the PID; nil for any other frame.
local function snap_payload()
    local ouis = {f_llc_oui()}
    local pids = {f_llc_pid()}
    for i, oui in ipairs(ouis) do
        local pid = pids[i]
        if oui.value == OUI and pid ~= nil then return pid.value, pid.source, pid.offset + 2 end
    end
    return nil
end

-- Bytes after the SNAP header that the 802.3 length field claims, or nil without one.
local function llc_data_length()
    local len = last(f_vlan_len()) or last(f_eth_len())
    if len == nil then return nil end
    return len.value - 8
end

local function dst_is_broadcast()
    return mac_hex(last(f_eth_dst())) == "FFFFFFFFFFFF"
end

local function src_key(pinfo)
    return mac_hex(last(f_eth_src())) or tostring(pinfo.dl_src)
end

local function dst_key(pinfo)
    return mac_hex(last(f_eth_dst())) or tostring(pinfo.dl_dst)
end

-- An address as text, never resolved to a name.
local function mac_text(s)
    return string.format("%02x:%02x:%02x:%02x:%02x:%02x", s:byte(1, 6))
end

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

function lcmp.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "LCMP"
    local root = tree:add(lcmp, tvb())
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
        return
    end
    if segment then root:add(lf.segment_data, segment) end
    if seg > last_seg then
        mmh:add_proto_expert_info(le.segment_number,
            string.format("Segment %d of a message whose last segment is %d", seg, last_seg))
        return
    end

    -- Segments are collected on the first pass; later passes read what it found.
    if not pinfo.visited then
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
        else
            p.segs[seg] = {frame = pinfo.number, data = segment and segment:raw() or ""}
            p.count = p.count + 1
            if p.count == last_seg + 1 then
                local parts, frames = {}, {}
                for i = 0, last_seg do
                    parts[#parts + 1] = p.segs[i].data
                    frames[#frames + 1] = p.segs[i].frame
                    completed_by[p.segs[i].frame] = pinfo.number
                end
                completed[pinfo.number] = {data = table.concat(parts), frames = frames, opcode = opcode}
                partial[key] = nil
            end
        end
    end

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
    else
        local by = completed_by[pinfo.number]
        if by then
            root:add(lf.reassembled_in, tvb(0, 0), by):set_generated()
        else
            root:add_proto_expert_info(le.segment_pending)
        end
    end
end

DissectorTable.get("ethertype"):add(LCMP_ETHERTYPE, lcmp)

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
    local opcode = tvb(0, 1):uint()
    local op_item = root:add(sf.opcode, tvb(0, 1))
    root:add(sf.fixed, tvb(1, 1))
    root:add(sf.reserved, tvb(2, 1))
    root:add(sf.op_number, tvb(3, 1))
    root:add(sf.seq, tvb(4, 1))
    root:add(sf.last, tvb(5, 1))
    root:add(sf.reserved, tvb(6, 2))
    local plen_item = root:add(sf.payload_length, tvb(8, 2))
    local crc_item = root:add(sf.crc, tvb(10, 4))
    local payload_length = tvb(8, 2):uint()
    local crc_field = tvb(10, 4):uint()
    local op_number, seq, last_flag = tvb(3, 1):uint(), tvb(4, 1):uint(), tvb(5, 1):uint()

    local name = SCP_OPCODES[opcode]
    if name == nil then
        op_item:add_proto_expert_info(se.unknown_opcode, "Unknown opcode " .. opcode)
        name = "Opcode " .. opcode
    end
    local reply = opcode == 4 or opcode == 5 or opcode == 6 or opcode == 9 or opcode == 10
    pinfo.cols.info = string.format("%s op=%d seq=%d%s", name, op_number, seq,
        (reply and last_flag == 0) and " more" or "")
    root:append_text(string.format(", %s, op %d, seq %d", name, op_number, seq))
    local more_follow = last_flag == 0

    local avail = n - 14
    if payload_length > avail then
        plen_item:add_proto_expert_info(se.beyond_frame,
            string.format("Payload length %d, the frame holds %d bytes", payload_length, avail))
        root:add(sf.crc_status, tvb(10, 4), 2):set_generated()
        if avail > 0 then root:add(sf.payload, tvb(14, avail)) end
        pinfo.cols.info:append(" [payload beyond the frame]")
        return
    end
    if llc_length and payload_length + 14 > llc_length then
        plen_item:add_proto_expert_info(se.beyond_llc,
            string.format("The 802.3 length field leaves %d bytes for the message, it takes %d", llc_length,
                payload_length + 14))
    end
    local payload = payload_length > 0 and tvb(14, payload_length):raw() or ""
    local computed = crc32(payload)
    local plain = SCP_PLAIN[opcode] or computed == crc_field
    -- The payload's items: those of the frame, or of the deciphered text.
    local body = payload_length > 0 and tvb(14, payload_length):tvb() or nil
    local items_parent = root
    if plain then
        local good = computed == crc_field
        root:add(sf.crc_computed, tvb(10, 4), computed):set_generated()
        local st = root:add(sf.crc_status, tvb(10, 4), good and 1 or 0):set_generated()
        if not good then
            crc_item:add_proto_expert_info(se.crc_bad,
                string.format("CRC-32 0x%08x, computed 0x%08x", crc_field, computed))
            pinfo.cols.info:append(" [bad CRC]")
        end
    else
        local enc = payload_length > 0 and root:add(sf.enciphered, tvb(14, payload_length)) or root
        local stands_alone = not reply or (seq == 1 and last_flag ~= 0)
        local clear, k
        if payload_length > 0 then
            clear, k = scp_decipher(tvb, pinfo, enc, payload, crc_field, stands_alone)
        end
        if clear then
            root:add(sf.crc_status, tvb(10, 4), 1):set_generated()
            body = ByteArray.new(clear, true):tvb("Deciphered SCP payload")
            payload = clear
            local dec = root:add(sf.deciphered, body())
            dec:set_text(string.format("Deciphered with %s", key_text(k)))
            dec:add(sf.deciphered_password, body(), k.password):set_generated()
            dec:add(sf.deciphered_key, body(), k.form):set_generated()
            items_parent = dec
            plain = true
            pinfo.cols.info:append(" [deciphered]")
        else
            root:add(sf.crc_status, tvb(10, 4), 2):set_generated()
            if lcmp.prefs.passwords == "" then enc:add_proto_expert_info(se.enciphered) end
            pinfo.cols.info:append(" [enciphered]")
        end
    end
    if n > 14 + payload_length then root:add(sf.fill, tvb(14 + payload_length)) end
    if not plain or payload_length == 0 then return end

    local items = items_parent:add(body(), "Items")
    local start = 0
    local key = table.concat({src_key(pinfo), dst_key(pinfo), opcode, op_number}, "/")
    if not pinfo.visited then
        -- An item left open by the previous message of this reply begins this one.
        local open = scp_open[key]
        scp_open[key] = nil
        if open and seq == open.seq + 1 and #open.bytes < 2 + 65535 then
            local joined = open.bytes .. payload
            if #joined >= 2 then
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
        end
    end
    local cont = scp_frames[pinfo.number]
    local summaries = {}
    if cont then
        start = cont.need
        local part = items:add(sf.continued, body(0, cont.need))
        part:add(sf.continued_from, body(0, 0), cont.from):set_generated()
        if not cont.open then
            local whole = ByteArray.new(cont.head .. payload:sub(1, cont.need), true):tvb("SCP item across messages")
            local _, summary = scp_item(whole, items, 0, whole:len())
            if summary then summaries[#summaries + 1] = summary end
        end
    end
    if cont and cont.open then return end
    local more, rest = scp_items(body, items, start, payload_length, not SCP_PLAIN[opcode], more_follow)
    for _, s in ipairs(more) do summaries[#summaries + 1] = s end
    if rest and not pinfo.visited and last_flag == 0 then
        scp_open[key] = {seq = seq, bytes = rest, frame = pinfo.number}
    end
    if #summaries > 0 then pinfo.cols.info:append(" " .. table.concat(summaries, " ")) end
end

---------------------------------------------------------------------------------------------
-- Discovery (l2disc)
---------------------------------------------------------------------------------------------

local l2disc = Proto("l2disc", "kivo layer-2 discovery")

local DISC_TYPES = {[1] = "Discovery probe", [2] = "Legacy reply", [3] = "Boot-ROM announcement"}
local BOOTROM_MAGIC = "2D5AD2A5"

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

---------------------------------------------------------------------------------------------
-- SNAP frames of our OUI.
--
-- Wireshark 4.0 has no PID table for this OUI (the LLC dissector keeps one only for the
-- organisations it knows, and Lua cannot add one), and the LLC dissector offers no
-- heuristic list. A heuristic on the Ethernet list would take the whole frame away from
-- the Ethernet, 802.1Q and LLC dissectors. So the three protocols below run after the
-- regular dissection and read the SNAP header the LLC dissector found, tagged or not.
---------------------------------------------------------------------------------------------

-- The SNAP payload as a tvb that starts at the protocol id, so that the frame type and
-- subtype can be shown with the payload.
local function pid_tvb(source, offset)
    return source(offset - 2):tvb()
end

local function is_bootrom_announcement(source, offset)
    return source:len() >= offset + 10 and source(offset + 6, 4):bytes():tohex() == BOOTROM_MAGIC
end

function scp.dissector(tvb, pinfo, tree)
    local pid, source, offset = snap_payload()
    if pid == nil or bit32.rshift(pid, 8) ~= 0x16 then return end
    scp_dissect(pid_tvb(source, offset), pinfo, tree, llc_data_length())
end

function l2disc.dissector(tvb, pinfo, tree)
    local pid, source, offset = snap_payload()
    if pid == nil then return end
    if bit32.rshift(pid, 8) == 0x0C or (pid == 0x0B00 and is_bootrom_announcement(source, offset)) then
        l2disc_dissect(pid_tvb(source, offset), pinfo, tree, pid)
    end
end

function l2fw.dissector(tvb, pinfo, tree)
    local pid, source, offset = snap_payload()
    if pid == nil or bit32.rshift(pid, 8) ~= 0x0B then return end
    if pid == 0x0B00 and is_bootrom_announcement(source, offset) then return end
    l2fw_dissect(pid_tvb(source, offset), pinfo, tree, pid, llc_data_length())
end

register_postdissector(scp)
register_postdissector(l2disc)
register_postdissector(l2fw)
