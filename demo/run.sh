#!/usr/bin/env bash
# The demo: builds wavelot, serves the demo feeds from 127.0.0.1 and runs
# the tool's main job against them into demo-output/episodes. Run it twice:
# the second run finds every episode present and downloads nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh g++ cmake ninja-build pkg-config libmrss0-dev \
    libcurl4-gnutls-dev libseccomp-dev python3
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWAVELOT_TESTS=OFF >/dev/null
cmake --build build/demo >/dev/null

out=demo-output
mkdir -p "$out/episodes"
port_file=$(mktemp)
python3 demo/server.py "$port_file" &
server=$!
trap 'kill $server 2>/dev/null; rm -f "$port_file"' EXIT
for _ in $(seq 100); do [ -s "$port_file" ] && break; sleep 0.05; done
port=$(cat "$port_file")

for feed in morning-notes garden-hour old-archive; do
    echo "http://127.0.0.1:$port/feeds/$feed.xml"
done > "$out/podcasts.cfg"

before=$(ls "$out/episodes")
echo "\$ wavelot -c $out/podcasts.cfg -o $out/episodes -d 30 -i -v"
build/demo/wavelot -c "$out/podcasts.cfg" -o "$out/episodes" -d 30 -i -v
echo
new=$(comm -13 <(echo "$before") <(ls "$out/episodes"))
if [ -z "$new" ]; then
    echo "Downloaded nothing new: every episode is already in $out/episodes."
else
    echo "Downloaded into $out/episodes:"
    for f in $new; do
        case "$f" in
        *.info) echo "--- $f"; cat "$out/episodes/$f" ;;
        *) printf '  %s (%s bytes)\n' "$f" "$(stat -c %s "$out/episodes/$f")" ;;
        esac
    done
fi
