-- kivo_common.lua: what the dissectors of the kivo plugin share: the parameter tables, the
-- value rendering of both codecs, CRC-32, the deciphering (ciphers in kivo_crypto.lua), the
-- fields of the lower layers and the SNAP glue.
--
-- Part of the kivo plugin: kivo.lua runs the function this file returns once, with the
-- table of what the parts share (this one fills it). Wireshark, which runs every file of its
-- plugin folders, gets only the function from this one and does nothing with it.

return function(kivo)


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


-- The boot-ROM magic of an announcement (SNAP 0B 00).
local BOOTROM_MAGIC = "2D5AD2A5"

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

-- Everything above, for the protocol parts.
kivo.OUI = OUI
kivo.LCMP_ETHERTYPE = LCMP_ETHERTYPE
kivo.PARAM_TYPE_NAMES = PARAM_TYPE_NAMES
kivo.LAST_VALUE_TYPE = LAST_VALUE_TYPE
kivo.PRODUCTS = PRODUCTS
kivo.LEGACY_PRODUCT_COUNT = LEGACY_PRODUCT_COUNT
kivo.enum = enum
kivo.ENUMS = ENUMS
kivo.DEVICE_ERRORS = DEVICE_ERRORS
kivo.WEEKDAYS = WEEKDAYS
kivo.MONTHS = MONTHS
kivo.CODEC_LCMP = CODEC_LCMP
kivo.CODEC_SCP = CODEC_SCP
kivo.load_uint = load_uint
kivo.to_signed = to_signed
kivo.load64_text = load64_text
kivo.LIST_ELEMENT_SIZE = LIST_ELEMENT_SIZE
kivo.render_element = render_element
kivo.time_field = time_field
kivo.render_time = render_time
kivo.product_name = product_name
kivo.render_value = render_value
kivo.render_status = render_status
kivo.CRC_TABLE = CRC_TABLE
kivo.crc32 = crc32
kivo.crypto = crypto
kivo.crypto_error = crypto_error
kivo.split_passwords = split_passwords
kivo.keys_by_text = keys_by_text
kivo.keys_for = keys_for
kivo.decipher_part = decipher_part
kivo.key_text = key_text
kivo.DECRYPTION_GROUP = DECRYPTION_GROUP
kivo.f_eth_dst = f_eth_dst
kivo.f_eth_src = f_eth_src
kivo.f_eth_len = f_eth_len
kivo.f_vlan_len = f_vlan_len
kivo.f_vlan_id = f_vlan_id
kivo.f_vlan_prio = f_vlan_prio
kivo.f_llc_oui = f_llc_oui
kivo.f_llc_pid = f_llc_pid
kivo.last = last
kivo.mac_hex = mac_hex
kivo.snap_payload = snap_payload
kivo.llc_data_length = llc_data_length
kivo.dst_is_broadcast = dst_is_broadcast
kivo.src_key = src_key
kivo.dst_key = dst_key
kivo.mac_text = mac_text
kivo.BOOTROM_MAGIC = BOOTROM_MAGIC
kivo.pid_tvb = pid_tvb
kivo.is_bootrom_announcement = is_bootrom_announcement

end
