#!/usr/bin/env bash
# Builds Quillport for 64-bit Windows on Debian 12, as root, in one command:
# Qt for MinGW-w64 from Debian's source package (once, about 8 minutes), then
# quillport.exe with MinGW-w64 in build-windows/, installed into
# build-windows/quillport/: the folder to copy to a Windows machine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
qt_prefix=$(bash scripts/build-qt-mingw.sh)

cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DQUILLPORT_QT_MINGW_PREFIX="$qt_prefix" -DCMAKE_BUILD_TYPE=Release
cmake --build build-windows -j "$(nproc)"
cmake --install build-windows --prefix build-windows/quillport
echo "Copy build-windows/quillport/ to the Windows machine; its README-windows.txt says how to install."
