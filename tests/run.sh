#!/usr/bin/env bash
# The test command: installs what the build and the tests need on Debian 12
# when it is missing, builds and runs every test twice, plainly and under
# AddressSanitizer + UndefinedBehaviorSanitizer, then runs each fuzzer for
# a minute.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh g++ cmake ninja-build pkg-config libmrss0-dev \
    libcurl4-gnutls-dev libseccomp-dev libgtest-dev libgmock-dev python3 tzdata openssl util-linux \
    groff-base dpkg-dev valgrind debhelper lintian bubblewrap systemd git

for variant in plain sanitize; do
    build="build/test-$variant"
    sanitize=OFF
    [ "$variant" = sanitize ] && sanitize=ON
    echo "== $variant build"
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DWAVELOT_SANITIZE="$sanitize" >/dev/null
    cmake --build "$build" -j "$(nproc)"
    (cd "$build" && ctest --output-on-failure -j 2)
done

echo "== fuzzing"
bash tests/fuzz/run.sh 60
