#!/bin/sh
# The dissector's Lua SHA-256, legacy hash and 3DES-CBC against the library's, run in
# tshark's own Lua.   check_crypto.sh VECTOR_PROGRAM CRYPTO_LUA
set -e
command -v tshark >/dev/null || { echo "tshark is not installed (Debian package tshark): skipped"; exit 77; }
vectors=$(mktemp /tmp/kvt-crypto-XXXXXX.lua)
trap 'rm -f "$vectors"' EXIT INT TERM
"$1" >"$vectors"
KIVO_CRYPTO_VECTORS=$vectors KIVO_CRYPTO_LUA=$2 \
    tshark -X lua_script:"$(dirname "$0")/check_crypto.lua" -G folders >"$vectors.out" 2>"$vectors.err" || {
    grep -v 'Running as user "root"' "$vectors.err" >&2; rm -f "$vectors.out" "$vectors.err"; exit 1; }
grep 'crypto vectors:' "$vectors.out"
rm -f "$vectors.out" "$vectors.err"
