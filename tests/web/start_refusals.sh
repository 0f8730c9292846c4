#!/bin/sh
# kivo-web refuses to start on settings that could only serve errors: each case must end
# with exit status 2 and a message that names what is wrong. Nothing is bound or left.
#   start_refusals.sh KIVO_WEB
set -u
web=$1
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
fail=0

expect() { # expect WHAT TEXT ARGS...: exit 2 and TEXT in the message
    what=$1 text=$2
    shift 2
    "$web" --listen 127.0.0.1:0 "$@" >"$tmp/out" 2>&1 </dev/null
    rc=$?
    if [ "$rc" -ne 2 ] || ! grep -qF -- "$text" "$tmp/out"; then
        echo "FAILED: $what: exit $rc, said: $(cat "$tmp/out")"
        fail=1
    else
        echo "ok $what: $(cat "$tmp/out")"
    fi
}

expect "assets folder missing" "is not a folder with the page's index.html" --assets /nonexistent
mkdir "$tmp/no-page"
expect "assets folder without the page" "is not a folder with the page's index.html" --assets "$tmp/no-page"
: >"$tmp/empty-token"
expect "empty token file" "is empty" --token-file "$tmp/empty-token"
printf '\n  \n' >"$tmp/blank-token"
expect "token file with a blank first line" "is empty" --token-file "$tmp/blank-token"
expect "missing token file" "cannot read the token file" --token-file "$tmp/none"
exit $fail
