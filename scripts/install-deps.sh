#!/usr/bin/env bash
# Installs what building and testing Quillport needs on Debian 12 (as root),
# and any further Debian packages named as arguments.
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config qtbase5-dev libcups2-dev cups-daemon cups-client
          g++-mingw-w64-x86-64-posix netcat-openbsd systemd systemd-container dbus python3 "$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
