#!/usr/bin/env bash
# Builds the packages an administrator installs, on Debian 12 as root, into
# dist/:
#   quillport_<version>_amd64.deb     with Debian's own tools (debian/)
#   quillport-<version>-x64.msi       with wixl, from the Windows build
# The version is the project's, from project() in CMakeLists.txt; the Debian
# changelog is written from it for each build.
#   package.sh [deb|msi]...           both when none is named
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD

wanted=("$@")
[ ${#wanted[@]} -gt 0 ] || wanted=(deb msi)
for w in "${wanted[@]}"; do
    case $w in deb | msi) ;; *) echo "usage: $0 [deb|msi]..." >&2; exit 2 ;; esac
done
wants() { [[ " ${wanted[*]} " == *" $1 "* ]]; }

bash scripts/install-deps.sh
version=$(sed -n 's/^project(Quillport VERSION \([0-9][0-9]*\.[0-9][0-9]*\.[0-9][0-9]*\)[ )].*/\1/p' CMakeLists.txt)
if [ -z "$version" ]; then
    echo "CMakeLists.txt has no project(Quillport VERSION x.y.z ...)" >&2
    exit 1
fi
jobs=$(nproc)
mkdir -p dist

if wants deb; then
    # A copy of the sources without build folders, whose debian/changelog
    # names this version; dpkg-buildpackage leaves the package beside it.
    work=$source/build-deb
    stage=$work/quillport-$version
    rm -rf "$work"
    mkdir -p "$stage"
    tar -C "$source" --exclude-vcs --exclude=./build --exclude='./build-*' --exclude=./dist --exclude=./demo \
        -cf - . | tar -C "$stage" -xf -
    # The date of the last commit, so that the same sources give the same
    # package; the time of the build elsewhere.
    date=$(git -C "$source" log -1 --format=%aD 2>/dev/null || date -R)
    maintainer=$(sed -n 's/^Maintainer: //p' debian/control)
    cat >"$stage/debian/changelog" <<EOF
quillport ($version) unstable; urgency=medium

  * Quillport $version.

 -- $maintainer  $date
EOF
    (cd "$stage" && dpkg-buildpackage -b -us -uc -j"$jobs")
    cp "$work/quillport_${version}_amd64.deb" dist/
    echo "dist/quillport_${version}_amd64.deb"
fi

if wants msi; then
    # The Windows build makes the installer (packaging/CMakeLists.txt).
    qt_prefix=$(bash scripts/build-qt-mingw.sh)
    cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
        -DQUILLPORT_QT_MINGW_PREFIX="$qt_prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build-windows -j "$jobs" --target msi
    cp "build-windows/quillport-$version-x64.msi" dist/
    echo "dist/quillport-$version-x64.msi"
fi
