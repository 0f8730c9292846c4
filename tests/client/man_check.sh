#!/bin/sh
# The manual pages format without a single groff warning.
status=0
for page in "$@"; do
    out=$(groff -ww -z -man "$page" 2>&1)
    if [ -n "$out" ]; then
        echo "$page:"
        echo "$out"
        status=1
    fi
done
[ "$status" -eq 0 ] && echo "$# manual pages format cleanly"
exit $status
