#!/usr/bin/env bash
# The benchmark in one command: installs what it needs from Debian (as
# root), builds quillport in build-bench/, and runs bench/bench.py, which
# prints the table and writes it to bench/results.md. Options are passed on
# to bench.py (see `python3 bench/bench.py --help`).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake ninja-build pkg-config qtbase5-dev libcups2-dev cups-daemon cups-client
          socat p910nd python3)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench --target quillport -j "$(nproc)"

exec python3 bench/bench.py --quillport build-bench/printserver/quillport "$@"
