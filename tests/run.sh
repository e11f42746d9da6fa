#!/usr/bin/env bash
# The test command: installs what the build and the tests need on Debian 12
# when it is missing, then builds and runs every test twice, plainly and
# under AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake ninja-build pkg-config libmrss0-dev libcurl4-openssl-dev
          libgtest-dev libgmock-dev python3 tzdata openssl util-linux)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

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
