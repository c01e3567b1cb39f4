#!/usr/bin/env bash
# Sets up, builds and runs every test: once as a normal build, which also
# builds the Windows program and runs it under Wine, and once under the
# address and undefined-behaviour sanitizers. The packages are built in
# between (dist/), for the tests that install them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc)

# Qt for MinGW-w64, built once and kept (build-windows/qt-mingw, or the prefix
# that QUILLPORT_QT_MINGW_PREFIX names).
qt_prefix=$(bash scripts/build-qt-mingw.sh)

# The normal build also builds and installs the Windows build in
# build-windows/, whose programs the Wine tests run.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLPORT_QT_MINGW_PREFIX="$qt_prefix"
cmake --build build -j "$jobs"
QUILLPORT_QT_MINGW_PREFIX="$qt_prefix" bash scripts/package.sh
(cd build && ctest --output-on-failure -j "$jobs")

# The framework's tests, built for Windows, under Wine.
(cd build-windows && ctest --output-on-failure)

cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLPORT_SANITIZE=ON -DQUILLPORT_WINDOWS_TESTS=OFF
cmake --build build-sanitize -j "$jobs"
(cd build-sanitize && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j "$jobs")
