#!/usr/bin/env bash
# The benchmarks, in one command: installs nginx, curl and GNU time when
# missing, builds wavelot and the libmrss-only helper in Release mode, and
# prints the result tables (see README.md beside this file).
#   bash bench/run.sh            # all four scenarios
#   bash bench/run.sh --smoke    # small sizes, one run each
#   bash bench/run.sh s3         # one scenario
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh g++ cmake ninja-build pkg-config libmrss0-dev \
    libcurl4-openssl-dev python3 nginx-light curl time
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DWAVELOT_TESTS=OFF \
    -DWAVELOT_BENCH=ON >/dev/null
cmake --build build/bench >/dev/null
python3 bench/bench.py build/bench/wavelot build/bench/bench/parse_feeds build/bench/work "$@"
