#!/usr/bin/env bash
# Installs what building and testing Quillport needs on Debian 12 (as root),
# and any further Debian packages named as arguments.
set -euo pipefail
# The Windows build: the MinGW-w64 compilers, what building Qt from Debian's
# source package takes (dpkg-dev for apt-get source, perl, python3), and Wine
# to run it.
packages=(build-essential cmake ninja-build pkg-config qtbase5-dev libcups2-dev cups-daemon cups-client
          g++-mingw-w64-x86-64-posix dpkg-dev xz-utils perl wine wine64
          netcat-openbsd systemd systemd-container dbus python3 logrotate "$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
