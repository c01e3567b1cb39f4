#!/usr/bin/env bash
# Builds Qt 5 (Core, Network, Test) for 64-bit Windows with MinGW-w64, from
# Debian's own source package of qtbase, into a prefix that the Windows build
# of Quillport is configured against (cmake/mingw-w64.cmake). As root, it adds
# the deb-src entries it needs to apt's sources and installs the packages the
# build needs.
#   build-qt-mingw.sh [PREFIX]
# The prefix is, in this order: the argument, $QUILLPORT_QT_MINGW_PREFIX, or
# build-windows/qt-mingw beside the sources. A prefix that already holds this
# version, built with these options, is kept as it is. Prints the prefix.
set -euo pipefail
cd "$(dirname "$0")/.."

qt_version=5.15.8
prefix=${1:-${QUILLPORT_QT_MINGW_PREFIX:-$PWD/build-windows/qt-mingw}}
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
jobs=$(nproc)

configure_options=(
    -opensource -confirm-license -release -shared
    -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32-
    -no-gui -no-widgets -no-opengl -no-dbus -no-icu -no-openssl -no-pkg-config
    -no-feature-sql -no-feature-xml -no-feature-concurrent
    -nomake tests -nomake examples
)
stamp=$prefix/quillport-qt-mingw.stamp
wanted="qtbase $qt_version: ${configure_options[*]}"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then
    echo "Qt $qt_version for MinGW-w64 is already built in $prefix" >&2
    echo "$prefix"
    exit 0
fi

bash scripts/install-deps.sh >&2

# apt-get source needs deb-src entries; they mirror the machine's own
# bookworm entries, in files of their own.
add_source_entries() {
    local sources=/etc/apt/sources.list.d/quillport-deb-src.sources
    local list=/etc/apt/sources.list.d/quillport-deb-src.list
    local f
    if [ ! -f "$sources" ] && [ ! -f "$list" ]; then
        for f in /etc/apt/sources.list.d/*.sources; do
            [ -f "$f" ] || continue
            # One stanza per paragraph; each deb stanza for bookworm gets a twin.
            awk 'BEGIN { RS = ""; ORS = "\n\n" }
                 /(^|\n)Types:[^\n]*(^|[ \t])deb([ \t]|\n|$)/ && /(^|\n)Suites:[^\n]*bookworm/ {
                     sub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print }' "$f"
        done > "$sources.new"
        for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
            [ -f "$f" ] || continue
            sed -n 's/^[[:space:]]*deb\([[:space:]].*[[:space:]]bookworm\)/deb-src\1/p' "$f"
        done > "$list.new"
        [ -s "$sources.new" ] && mv "$sources.new" "$sources" || rm -f "$sources.new"
        [ -s "$list.new" ] && mv "$list.new" "$list" || rm -f "$list.new"
    fi
    if [ ! -f "$sources" ] && [ ! -f "$list" ]; then
        echo "no bookworm entry in apt's sources to take a deb-src entry from" >&2
        return 1
    fi
    apt-get update -q >&2
}

work=$(dirname "$prefix")/qt-mingw-build
rm -rf "$work"
mkdir -p "$work"
cd "$work"
if ! apt-get source -q qtbase-opensource-src >&2 2>/dev/null; then
    add_source_entries
    apt-get source -q qtbase-opensource-src >&2
fi
source_dir=$(find "$work" -maxdepth 1 -type d -name "qtbase-opensource-src-$qt_version*" | head -n 1)
[ -n "$source_dir" ] || { echo "apt-get source gave no qtbase $qt_version" >&2; exit 1; }

# Posix threads: the compilers of the -posix flavour under the names that
# CROSS_COMPILE gives, whichever flavour the alternatives point to.
tools=$work/tools
mkdir -p "$tools"
for tool in gcc g++; do
    ln -sfn "$(command -v x86_64-w64-mingw32-$tool-posix)" "$tools/x86_64-w64-mingw32-$tool"
done
export PATH=$tools:$PATH

mkdir -p "$work/build"
cd "$work/build"
start=$SECONDS
"$source_dir/configure" -prefix "$prefix" "${configure_options[@]}" >&2
echo "Qt configure took $((SECONDS - start)) s" >&2
start=$SECONDS
make -j "$jobs" >&2
make install >&2
echo "Qt build and install took $((SECONDS - start)) s" >&2

echo "$wanted" > "$stamp"
cd /
rm -rf "$work"
echo "$prefix"
