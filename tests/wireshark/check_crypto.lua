-- Run by tshark (-X lua_script:check_crypto.lua): compares the dissector's Lua codecs
-- (KIVO_CRYPTO_LUA) with the library's results (KIVO_CRYPTO_VECTORS, written by
-- crypto_vectors) and ends tshark with status 0 when all agree, 1 otherwise.
local C = dofile(os.getenv("KIVO_CRYPTO_LUA"))
local V = dofile(os.getenv("KIVO_CRYPTO_VECTORS"))

local function unhex(h) return (h:gsub("..", function(x) return string.char(tonumber(x, 16)) end)) end
local function hex(s) return (s:gsub(".", function(c) return string.format("%02x", c:byte()) end)) end

local failures, checks = 0, 0
local function check(what, got, want)
    checks = checks + 1
    if got ~= want then
        failures = failures + 1
        io.stderr:write(string.format("%s: got %s, want %s\n", what, tostring(got), want))
    end
end

for _, v in ipairs(V.sha256) do check("sha256 of " .. #v.msg / 2 .. " bytes", hex(C.sha256(unhex(v.msg))), v.digest) end
for _, v in ipairs(V.legacy) do
    check("legacy key of " .. #v.password / 2 .. " bytes", hex(C.legacy_key(unhex(v.password))), v.key)
end
for i, v in ipairs(V.des3) do
    local key = C.des3_key(unhex(v.key))
    local cipher = unhex(v.cipher)
    check("3DES-CBC vector " .. i, C.des3_cbc_decipher(key, cipher) and hex(C.des3_cbc_decipher(key, cipher)), v.plain)
    -- The first block alone is what the dissector tries before deciphering a whole part.
    check("3DES-CBC vector " .. i .. ", first block", hex(C.des3_cbc_decipher(key, cipher, 1)), v.plain:sub(1, 16))
    check("3DES-CBC vector " .. i .. ", from the second block", hex(C.des3_cbc_decipher(key, cipher, nil, 2)),
        v.plain:sub(17))
end
check("a part that is not whole blocks", C.des3_cbc_decipher(C.des3_key(string.rep("\1", 32)), "1234567"), nil)

print(string.format("crypto vectors: %d checks, %d failures", checks, failures))
os.exit(failures == 0 and checks > 40 and 0 or 1)
