#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for
# the given number of seconds (default 60), seeded with seeds/ and, when
# present, the real-world feed corpus. Inputs that once crashed live in
# regressions/ and are replayed first. Exits non-zero on any finding.
set -euo pipefail
seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build="$root/build/fuzz"
corpus="$root/../shared/corpus/realworld"

bash "$root/tools/install-deps.sh" clang libclang-rt-14-dev cmake ninja-build pkg-config \
    libmrss0-dev libcurl4-gnutls-dev libseccomp-dev
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DWAVELOT_FUZZ=ON -DWAVELOT_TESTS=OFF >/dev/null
cmake --build "$build" >/dev/null

export ASAN_OPTIONS="suppressions=$root/tests/asan.supp"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
cd "$build"
for target in feed date; do
    work="$build/corpus-$target"
    mkdir -p "$work"
    seeds=("$here/seeds")
    if [ "$target" = feed ] && [ -d "$corpus" ]; then seeds+=("$corpus"); fi
    if [ -d "$here/regressions/$target" ]; then
        "./tests/fuzz/${target}_fuzz" -close_fd_mask=2 "$here/regressions/$target"/* 2>&1 | tail -1
    fi
    "./tests/fuzz/${target}_fuzz" -close_fd_mask=2 -max_len=16384 -rss_limit_mb=2048 \
        -max_total_time="$seconds" -print_final_stats=1 "$work" "${seeds[@]}" \
        > "$build/$target.log" 2>&1 || { tail -60 "$build/$target.log"; exit 1; }
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/$target.log")
    echo "fuzz $target: $runs runs in ${seconds} s, corpus $(ls "$work" | wc -l) inputs, no finding"
done
