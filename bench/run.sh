#!/usr/bin/env bash
# The benchmark in one command: installs what it needs from Debian (as
# root), builds quillport (and bench/floor.cpp) in build-bench/, and runs bench/bench.py, which
# prints the table and writes it to bench/results.md. Options are passed on
# to bench.py (see `python3 bench/bench.py --help`).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh socat p910nd

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench --target quillport -j "$(nproc)"
# The floor of figures 2 and 7: what a bare server does on this machine.
g++ -O2 -std=c++17 -Wall -Wextra -pthread -o build-bench/floor bench/floor.cpp

exec python3 bench/bench.py --quillport build-bench/printserver/quillport --floor build-bench/floor "$@"
