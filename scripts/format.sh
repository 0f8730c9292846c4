#!/bin/sh
# Formats every C++ file of src, tools, tests and bench with the repository's
# .clang-format.
#   scripts/format.sh            formats the files in place
#   scripts/format.sh --check    changes nothing; fails and names the files that are
#                                not formatted (the CI gate)
set -e
cd "$(dirname "$0")/.."
case "$1" in
    --check) mode=check ;;
    "") mode=fix ;;
    *) echo "usage: $0 [--check]" >&2; exit 2 ;;
esac
if ! command -v clang-format >/dev/null 2>&1; then
    ./scripts/deps.sh clang-format
fi
# Tracked and new files alike, never a build tree's generated sources.
files=$(find src tools tests bench -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.cc' -o -name '*.hpp' \) | sort)
if [ -z "$files" ]; then
    echo "format: no C++ files found" >&2
    exit 1
fi
if [ "$mode" = fix ]; then
    echo "$files" | xargs clang-format -i
    exit 0
fi
if ! echo "$files" | xargs clang-format --dry-run -Werror; then
    echo "format: files above are not formatted; run scripts/format.sh" >&2
    exit 1
fi
echo "format: $(echo "$files" | wc -l) files checked"
