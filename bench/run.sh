#!/usr/bin/env bash
# The benchmarks, in one command: installs nginx, curl and GNU time when
# missing, builds wavelot and the libmrss-only helper in Release mode, and
# prints the result tables (see README.md beside this file).
#   bash bench/run.sh                 # all six scenarios
#   bash bench/run.sh --smoke         # small sizes, one run each
#   bash bench/run.sh s3 s5           # some scenarios
#   bash bench/run.sh --before=REV    # and the build of git revision REV beside it
#                                     # (or REV may be a binary built before)
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh g++ cmake ninja-build pkg-config libmrss0-dev \
    libcurl4-gnutls-dev libseccomp-dev python3 nginx-light curl time
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DWAVELOT_TESTS=OFF \
    -DWAVELOT_BENCH=ON >/dev/null
cmake --build build/bench >/dev/null

args=()
for a in "$@"; do
    case "$a" in
    --before=*)
        rev=${a#--before=}
        if [ -x "$rev" ] && [ -f "$rev" ]; then
            args+=("--before=$rev")
            continue
        fi
        tree=build/bench-before/src
        rm -rf build/bench-before
        git worktree prune
        git worktree add --detach "$tree" "$rev" >/dev/null 2>&1
        cmake -S "$tree" -B build/bench-before/build -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DWAVELOT_TESTS=OFF >/dev/null
        cmake --build build/bench-before/build >/dev/null
        git worktree remove --force "$tree"
        args+=("--before=build/bench-before/build/wavelot")
        ;;
    *) args+=("$a") ;;
    esac
done
python3 bench/bench.py build/bench/wavelot build/bench/bench/parse_feeds build/bench/work "${args[@]}"
