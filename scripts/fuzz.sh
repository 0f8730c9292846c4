#!/bin/sh
# Builds the libFuzzer targets with clang (ASan + UBSan, enum check included) and runs
# each for a bounded time, one at a time, from a scratch copy of its committed corpus
# (the committed seeds stay small). A crash leaves its input in build-fuzz/findings/;
# copy it to tests/fuzz/regressions/<target>/ once fixed, so that every build replays it.
#   scripts/fuzz.sh [SECONDS [TARGET...]]     default: 20 s, every target
set -e
cd "$(dirname "$0")/.."
seconds=${1:-20}
[ $# -gt 0 ] && shift
targets=${*:-"dispatch lcmp_frames configlayer_answers scp_reply discovery_classify fw_frames fw_chunks conversion fw_transfers"}
# clang brings libFuzzer; installed when missing and this is root (CI is), else skipped.
if ! command -v clang++ >/dev/null 2>&1 && [ "$(id -u)" -eq 0 ]; then
    ./scripts/deps.sh clang libclang-rt-14-dev || true
fi
if ! command -v clang++ >/dev/null 2>&1; then
    echo "fuzz: clang++ not found, fuzzing skipped (the corpora are still replayed by ctest)" >&2
    exit 0
fi
# -O1 with line tables only, as libFuzzer suggests: reports keep file:line, the build is quick.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DKIVO_FUZZ=ON -DKIVO_TESTS=ON -DKIVO_BENCH=OFF \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" >/dev/null
# shellcheck disable=SC2086
cmake --build build-fuzz -j"$(nproc)" --target $(for t in $targets; do printf 'fuzz_%s ' "$t"; done)
mkdir -p build-fuzz/findings
for t in $targets; do
    work=build-fuzz/corpus/$t
    mkdir -p "$work"
    cp -n tests/fuzz/corpus/"$t"/* "$work"/ 2>/dev/null || true
    echo "fuzz: $t for ${seconds}s"
    regressions=tests/fuzz/regressions/$t
    [ -d "$regressions" ] || regressions=
    # One process, no -jobs: libFuzzer's job mode would write its logs into the tree.
    # shellcheck disable=SC2086
    ./build-fuzz/tests/fuzz/fuzz_"$t" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix=build-fuzz/findings/"$t"- "$work" $regressions 2>&1 |
        grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::peak_rss|==[0-9]+==ERROR|SUMMARY)' || true
    ls build-fuzz/findings/"$t"-* >/dev/null 2>&1 && { echo "fuzz: $t found a crash" >&2; exit 1; }
done
exit 0
