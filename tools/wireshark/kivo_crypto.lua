-- kivo_crypto.lua: the ciphers kivo.lua needs to read enciphered LCMP and SCP parts.
--
--   sha256(s)            digest of a byte string (FIPS 180-4), 32 bytes
--   legacy_key(s)        key material of the legacy hash: the password repeated over
--                        bytes 0-23 (its first 24 bytes only), bytes 24-31 zero
--   des3_key(material)   prepared key from 32 bytes of key material: K1, K2, K3, IV
--   des3_cbc_decipher(key, s [, blocks [, from]])
--                        3DES-EDE-CBC decryption of s (a multiple of 8 bytes), the chain
--                        starting from the key's IV; with blocks, only that many blocks;
--                        with from, the blocks from that one (1 is the first) on
--
-- Wireshark 4.0's Lua (5.2) has neither a cipher nor a digest, hence this file. It is a
-- module: kivo.lua loads it with dofile from its own folder. When Wireshark also runs it
-- as a plugin of its own it only builds its tables and returns them, registering nothing.
--
-- The DES rounds are table driven: every S-box is merged with the P permutation, and
-- both halves are kept rotated right by one bit, so that the expansion E is the bytes of
-- the half (S-boxes 1, 3, 5, 7) and of the half rotated left by 4 (S-boxes 2, 4, 6, 8),
-- the six bits of each group at the top of its byte. Bytes are taken apart with
-- arithmetic, which costs the Lua VM less than a bit32 call: three calls a round remain.
-- Tables per key, with the subkeys mixed in, would save two of them, but at a megabyte
-- a key they fall out of the processor's caches between frames and end up slower.

local band, bor, bxor, bnot = bit32.band, bit32.bor, bit32.bxor, bit32.bnot
local rshift, lshift, lrotate, rrotate = bit32.rshift, bit32.lshift, bit32.lrotate, bit32.rrotate
local sbyte, schar, concat = string.byte, string.char, table.concat

local M = {}

---------------------------------------------------------------------------------------------
-- SHA-256
---------------------------------------------------------------------------------------------

local K256 = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
}

local function be32(s, i)
    local a, b, c, d = sbyte(s, i, i + 3)
    return ((a * 256 + b) * 256 + c) * 256 + d
end

local function be32_bytes(v)
    local d = v % 256; v = (v - d) / 256
    local c = v % 256; v = (v - c) / 256
    local b = v % 256
    return schar((v - b) / 256, b, c, d)
end

function M.sha256(msg)
    local bits = #msg * 8
    -- Padding: 0x80, zeros up to 56 mod 64, the bit length as a 64-bit big-endian number.
    local tail = {msg, "\128", string.rep("\0", (55 - #msg) % 64)}
    tail[4] = be32_bytes(math.floor(bits / 2 ^ 32))
    tail[5] = be32_bytes(bits % 2 ^ 32)
    msg = concat(tail)
    local h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19}
    local w = {}
    for block = 1, #msg, 64 do
        for t = 1, 16 do w[t] = be32(msg, block + 4 * (t - 1)) end
        for t = 17, 64 do
            local x, y = w[t - 15], w[t - 2]
            local s0 = bxor(rrotate(x, 7), rrotate(x, 18), rshift(x, 3))
            local s1 = bxor(rrotate(y, 17), rrotate(y, 19), rshift(y, 10))
            w[t] = (w[t - 16] + s0 + w[t - 7] + s1) % 2 ^ 32
        end
        local a, b, c, d, e, f, g, hh = h[1], h[2], h[3], h[4], h[5], h[6], h[7], h[8]
        for t = 1, 64 do
            local S1 = bxor(rrotate(e, 6), rrotate(e, 11), rrotate(e, 25))
            local ch = bxor(band(e, f), band(bnot(e), g))
            local t1 = hh + S1 + ch + K256[t] + w[t]
            local S0 = bxor(rrotate(a, 2), rrotate(a, 13), rrotate(a, 22))
            local maj = bxor(band(a, b), band(a, c), band(b, c))
            hh, g, f, e = g, f, e, (d + t1) % 2 ^ 32
            d, c, b, a = c, b, a, (t1 + S0 + maj) % 2 ^ 32
        end
        h[1], h[2], h[3], h[4] = (h[1] + a) % 2 ^ 32, (h[2] + b) % 2 ^ 32, (h[3] + c) % 2 ^ 32, (h[4] + d) % 2 ^ 32
        h[5], h[6], h[7], h[8] = (h[5] + e) % 2 ^ 32, (h[6] + f) % 2 ^ 32, (h[7] + g) % 2 ^ 32, (h[8] + hh) % 2 ^ 32
    end
    local out = {}
    for i = 1, 8 do out[i] = be32_bytes(h[i]) end
    return concat(out)
end

function M.legacy_key(password)
    local n = #password
    if n == 0 then return string.rep("\0", 32) end
    local body = string.rep(password, math.ceil(24 / n)):sub(1, 24)
    return body .. string.rep("\0", 8)
end

---------------------------------------------------------------------------------------------
-- DES (FIPS 46-3): the standard's tables, bit 1 the most significant
---------------------------------------------------------------------------------------------

local IP = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
            62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
            57, 49, 41, 33, 25, 17, 9, 1, 59, 51, 43, 35, 27, 19, 11, 3,
            61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7}
local FP = {40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
            38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
            36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
            34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9, 49, 17, 57, 25}
local P = {16, 7, 20, 21, 29, 12, 28, 17, 1, 15, 23, 26, 5, 18, 31, 10,
           2, 8, 24, 14, 32, 27, 3, 9, 19, 13, 30, 6, 22, 11, 4, 25}
local PC1 = {57, 49, 41, 33, 25, 17, 9, 1, 58, 50, 42, 34, 26, 18, 10, 2, 59, 51, 43, 35, 27, 19, 11, 3,
             60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7, 62, 54, 46, 38, 30, 22, 14, 6, 61, 53, 45, 37,
             29, 21, 13, 5, 28, 20, 12, 4}
local PC2 = {14, 17, 11, 24, 1, 5, 3, 28, 15, 6, 21, 10, 23, 19, 12, 4, 26, 8, 16, 7, 27, 20, 13, 2,
             41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32}
local SHIFTS = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1}
local S = {
    {14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7, 0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8,
     4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0, 15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13},
    {15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10, 3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5,
     0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15, 13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9},
    {10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8, 13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1,
     13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7, 1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12},
    {7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15, 13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9,
     10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4, 3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14},
    {2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9, 14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6,
     4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14, 11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3},
    {12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11, 10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8,
     9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6, 4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13},
    {4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1, 13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6,
     1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2, 6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12},
    {13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7, 1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2,
     7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8, 2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11},
}

-- Word and bit of bit `pos` (1-64) of a block held as two words, and its mask.
local function word_bit(pos)
    local word = pos <= 32 and 1 or 2
    return word, lshift(1, 32 - (pos - (word - 1) * 32))
end

-- Byte tables of a 64-bit linear map: T[byte][value] = {hi, lo} of the map applied to
-- a block whose only non-zero byte is `value` at `byte` (0-7). `image(pos)` gives the
-- output bit (1-64) of input bit pos.
local function byte_tables(image)
    local hi, lo = {}, {}
    for byte = 0, 7 do
        local th, tl = {[0] = 0}, {[0] = 0}
        local bit_hi, bit_lo = {}, {}
        for b = 0, 7 do
            local w, mask = word_bit(image(byte * 8 + 8 - b))
            bit_hi[b] = w == 1 and mask or 0
            bit_lo[b] = w == 2 and mask or 0
        end
        for v = 1, 255 do
            local low = band(v, -v)  -- lowest set bit of v, added to the entry without it
            local b = 0
            while lshift(1, b) ~= low do b = b + 1 end
            th[v] = bor(th[v - low], bit_hi[b])
            tl[v] = bor(tl[v - low], bit_lo[b])
        end
        hi[byte], lo[byte] = th, tl
    end
    return hi, lo
end

local function inverse(table_)
    local inv = {}
    for i, v in ipairs(table_) do inv[v] = i end
    return inv
end

-- The halves are kept rotated right by one bit: output bit i of a half sits at i + 1.
local function rotated(pos)
    local half = pos <= 32 and 0 or 32
    return half + (pos - half) % 32 + 1
end

local IP_INV, FP_INV = inverse(IP), inverse(FP)
-- Initial permutation, into the rotated halves.
local IPH, IPL = byte_tables(function(pos) return rotated(IP_INV[pos]) end)
-- Final permutation, from the rotated halves: stored bit pos is the block's bit before it.
local FPH, FPL = byte_tables(function(pos)
    local half = pos <= 32 and 0 or 32
    return FP_INV[half + (pos - half - 2) % 32 + 1]
end)

-- SP[g][byte]: the S-box g (1-8) output through P, rotated right by one, for a byte whose
-- top six bits are the S-box input.
local SP = {}
for g = 1, 8 do
    local t = {}
    for byte = 0, 255 do
        local v = math.floor(byte / 4)
        local row = 2 * math.floor(v / 32) + v % 2
        local col = math.floor(v / 2) % 16
        local s = S[g][row * 16 + col + 1]
        local sout = lshift(s, 28 - 4 * (g - 1))
        local out = 0
        for i = 1, 32 do
            if band(sout, lshift(1, 32 - P[i])) ~= 0 then out = bor(out, lshift(1, 32 - i)) end
        end
        t[byte] = rrotate(out, 1)
    end
    SP[g] = t
end
local SP1, SP2, SP3, SP4, SP5, SP6, SP7, SP8 = SP[1], SP[2], SP[3], SP[4], SP[5], SP[6], SP[7], SP[8]

-- The 16 subkeys of an 8-byte key, each as two words aligned with the round's bytes:
-- groups 1, 3, 5, 7 in the top six bits of the bytes of the first, 2, 4, 6, 8 of the second.
local function subkeys(key8, decrypt)
    local kbits = {}
    for i = 1, 8 do
        local b = sbyte(key8, i)
        for j = 1, 8 do kbits[(i - 1) * 8 + j] = math.floor(b / 2 ^ (8 - j)) % 2 end
    end
    local c, d = {}, {}
    for i = 1, 28 do c[i], d[i] = kbits[PC1[i]], kbits[PC1[i + 28]] end
    local keys = {}
    for round = 1, 16 do
        for _ = 1, SHIFTS[round] do
            table.insert(c, table.remove(c, 1))
            table.insert(d, table.remove(d, 1))
        end
        local a, b = 0, 0
        for g = 0, 7 do
            local v = 0
            for j = 1, 6 do
                local p = PC2[g * 6 + j]
                v = v * 2 + (p <= 28 and c[p] or d[p - 28])
            end
            local at = 24 - 8 * math.floor(g / 2) + 2
            if g % 2 == 0 then a = bor(a, lshift(v, at)) else b = bor(b, lshift(v, at)) end
        end
        keys[round] = {a, b}
    end
    local flat = {}
    for i = 1, 16 do
        local k = keys[decrypt and 17 - i or i]
        flat[2 * i - 1], flat[2 * i] = k[1], rrotate(k[2], 4)
    end
    return flat
end

-- Sixteen rounds on the rotated halves l, r with the flat subkey list k; returns the
-- halves swapped, as the next stage (or the final permutation) takes them. The second
-- word of each subkey is stored rotated right by 4: the bytes of the half rotated left
-- by 4 are then bytes of (half XOR key) taken four bits lower, with no rotation to call.
-- Powers of two: multiplying by their inverse is exact, and cheaper than dividing.
local function rounds(l, r, k)
    for i = 1, 29, 4 do
        local u = bxor(r, k[i])
        local w = bxor(r, k[i + 1])
        local u0 = u % 256
        u = (u - u0) * 0.00390625
        local u1 = u % 256
        u = (u - u1) * 0.00390625
        local u2 = u % 256
        local n = w % 16
        w = (w - n) * 0.0625
        local v1 = w % 256
        w = (w - v1) * 0.00390625
        local v2 = w % 256
        w = (w - v2) * 0.00390625
        local v3 = w % 256
        l = bxor(l, SP1[(u - u2) * 0.00390625], SP3[u2], SP5[u1], SP7[u0], SP2[v3], SP4[v2], SP6[v1],
            SP8[n * 16 + (w - v3) * 0.00390625])
        u = bxor(l, k[i + 2])
        w = bxor(l, k[i + 3])
        u0 = u % 256
        u = (u - u0) * 0.00390625
        u1 = u % 256
        u = (u - u1) * 0.00390625
        u2 = u % 256
        n = w % 16
        w = (w - n) * 0.0625
        v1 = w % 256
        w = (w - v1) * 0.00390625
        v2 = w % 256
        w = (w - v2) * 0.00390625
        v3 = w % 256
        r = bxor(r, SP1[(u - u2) * 0.00390625], SP3[u2], SP5[u1], SP7[u0], SP2[v3], SP4[v2], SP6[v1],
            SP8[n * 16 + (w - v3) * 0.00390625])
    end
    return r, l
end

---------------------------------------------------------------------------------------------
-- 3DES-EDE in CBC mode
---------------------------------------------------------------------------------------------

-- Key material: K1, K2, K3 and the initialisation vector, 8 bytes each. Deciphering
-- runs D(K3), E(K2), D(K1).
function M.des3_key(material)
    assert(#material == 32, "3DES key material is 32 bytes")
    return {
        k3 = subkeys(material:sub(17, 24), true),
        k2 = subkeys(material:sub(9, 16), false),
        k1 = subkeys(material:sub(1, 8), true),
        iv_hi = be32(material, 25),
        iv_lo = be32(material, 29),
    }
end

-- Deciphers `blocks` blocks of s (all of them without blocks) from block `from` (1
-- without it) on; nil when s is not a whole number of blocks.
function M.des3_cbc_decipher(key, s, blocks, from)
    local n = #s
    if n % 8 ~= 0 then return nil end
    local first = from and (from - 1) * 8 + 1 or 1
    if blocks then n = math.min(n, first - 1 + blocks * 8) end
    local k1, k2, k3 = key.k1, key.k2, key.k3
    local chain_hi, chain_lo = key.iv_hi, key.iv_lo
    if first > 1 then chain_hi, chain_lo = be32(s, first - 8), be32(s, first - 4) end
    -- Locals: the VM reaches them faster than upvalues.
    local I0, I1, I2, I3, I4, I5, I6, I7 = IPH[0], IPH[1], IPH[2], IPH[3], IPH[4], IPH[5], IPH[6], IPH[7]
    local J0, J1, J2, J3, J4, J5, J6, J7 = IPL[0], IPL[1], IPL[2], IPL[3], IPL[4], IPL[5], IPL[6], IPL[7]
    local F0, F1, F2, F3, F4, F5, F6, F7 = FPH[0], FPH[1], FPH[2], FPH[3], FPH[4], FPH[5], FPH[6], FPH[7]
    local G0, G1, G2, G3, G4, G5, G6, G7 = FPL[0], FPL[1], FPL[2], FPL[3], FPL[4], FPL[5], FPL[6], FPL[7]
    local parts = {}
    for at = first, n, 8 do
        local c0, c1, c2, c3, c4, c5, c6, c7 = sbyte(s, at, at + 7)
        -- The bytes' contributions have no bit in common: adding them is OR-ing them.
        local l = I0[c0] + I1[c1] + I2[c2] + I3[c3] + I4[c4] + I5[c5] + I6[c6] + I7[c7]
        local r = J0[c0] + J1[c1] + J2[c2] + J3[c3] + J4[c4] + J5[c5] + J6[c6] + J7[c7]
        l, r = rounds(l, r, k3)
        l, r = rounds(l, r, k2)
        l, r = rounds(l, r, k1)
        local a3 = l % 256
        local x = (l - a3) * 0.00390625
        local a2 = x % 256
        x = (x - a2) * 0.00390625
        local a1 = x % 256
        local a0 = (x - a1) * 0.00390625
        local b3 = r % 256
        x = (r - b3) * 0.00390625
        local b2 = x % 256
        x = (x - b2) * 0.00390625
        local b1 = x % 256
        local b0 = (x - b1) * 0.00390625
        local hi = bxor(chain_hi, F0[a0] + F1[a1] + F2[a2] + F3[a3] + F4[b0] + F5[b1] + F6[b2] + F7[b3])
        local lo = bxor(chain_lo, G0[a0] + G1[a1] + G2[a2] + G3[a3] + G4[b0] + G5[b1] + G6[b2] + G7[b3])
        chain_hi = ((c0 * 256 + c1) * 256 + c2) * 256 + c3
        chain_lo = ((c4 * 256 + c5) * 256 + c6) * 256 + c7
        local h3 = hi % 256
        hi = (hi - h3) * 0.00390625
        local h2 = hi % 256
        hi = (hi - h2) * 0.00390625
        local h1 = hi % 256
        local l3 = lo % 256
        lo = (lo - l3) * 0.00390625
        local l2 = lo % 256
        lo = (lo - l2) * 0.00390625
        local l1 = lo % 256
        parts[#parts + 1] = schar((hi - h1) * 0.00390625, h1, h2, h3, (lo - l1) * 0.00390625, l1, l2, l3)
    end
    return concat(parts)
end

return M
