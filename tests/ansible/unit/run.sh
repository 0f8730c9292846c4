#!/bin/sh
# The collection's unit tests, offline: Python's unittest under Debian's python3 with
# ansible-core, kivoctl replaced by recorded documents.
#   run.sh COLLECTIONS_ROOT     (the folder holding ansible_collections/)
# Exit 77 (skipped) without Debian's python3 or ansible-core.
set -e
root=$(cd "$1" && pwd)
py=/usr/bin/python3
if ! [ -x "$py" ] || ! "$py" -c 'import ansible.module_utils.basic' 2>/dev/null; then
    echo "skipped: the unit tests need Debian's python3 and ansible-core (apt-get install ansible-core)"
    exit 77
fi
cd "$(dirname "$0")"
export PYTHONPATH="$root" ANSIBLE_COLLECTIONS_PATH="$root" PYTHONDONTWRITEBYTECODE=1 LC_ALL=C.UTF-8
exec "$py" -m unittest discover -s . -p 'test_*.py' -v
