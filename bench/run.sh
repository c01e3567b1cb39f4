#!/usr/bin/env bash
# The benchmark in one command: installs what it needs from Debian (as
# root), builds quillport in build-bench/, and runs bench/bench.py, which
# prints the table and writes it to bench/results.md. Options are passed on
# to bench.py (see `python3 bench/bench.py --help`).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh socat p910nd

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench --target quillport -j "$(nproc)"

exec python3 bench/bench.py --quillport build-bench/printserver/quillport "$@"
