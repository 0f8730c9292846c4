#!/bin/sh
# Removes test namespaces (prefix "kvt") whose creating process is gone.
for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep '^kvt'); do
    pid=$(echo "$ns" | sed -n 's/^kvt\([0-9]*\)-.*/\1/p')
    if [ -z "$pid" ] || ! kill -0 "$pid" 2>/dev/null; then
        ip netns del "$ns" 2>/dev/null
    fi
done
exit 0
