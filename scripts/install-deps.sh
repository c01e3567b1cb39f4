#!/usr/bin/env bash
# Installs what building and testing Quillport needs on Debian 12 (as root),
# and any further Debian packages named as arguments.
set -euo pipefail
# The Windows build: the MinGW-w64 compilers, what building Qt from Debian's
# source package takes (dpkg-dev for apt-get source, perl, python3), and Wine
# to run it. The discovery test runs avahi-daemon and avahi-browse in network
# namespaces of its own (iproute2).
packages=(build-essential cmake ninja-build pkg-config qtbase5-dev libcups2-dev cups-daemon cups-client
          g++-mingw-w64-x86-64-posix dpkg-dev xz-utils perl wine wine64
          netcat-openbsd systemd systemd-container dbus python3 iproute2 avahi-daemon avahi-utils "$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Clients and printers the tests talk to that nobody here wrote. The raw
# print daemon and rlpr install as they are. CUPS's lpd and socket backends
# come in the "cups" package, whose filters and drivers the tests do not
# need, and LPRng's lpr conflicts with cups-client: both are unpacked from
# Debian's own packages into a folder of the tests' own instead.
clients=(p910nd rlpr)
missing=()
for p in "${clients[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q --no-install-recommends "${missing[@]}" || { apt-get update -q && apt-get install -y -q --no-install-recommends "${missing[@]}"; }
    # The daemon must not serve port 9100 on its own; the tests start it.
    systemctl disable --now p910nd 2>/dev/null || true
fi
# Where p910nd keeps its lock; its init script makes it otherwise.
mkdir -p /var/lock/p910nd
tools=/opt/quillport-tests
for p in cups lprng; do
    if [ ! -d "$tools/$p" ]; then
        work=$(mktemp -d)
        (cd "$work" && apt-get download "$p" >/dev/null 2>&1 || { apt-get update -q && apt-get download "$p"; })
        mkdir -p "$tools/$p"
        dpkg-deb -x "$work"/"$p"_*.deb "$tools/$p"
        rm -rf "$work"
    fi
done
# LPRng's lpr reads its configuration from /etc/lprng only; an empty printcap
# is enough for sending to host%port.
if [ ! -e /etc/lprng/lpd.conf ]; then
    mkdir -p /etc/lprng
    echo 'printcap_path=/etc/lprng/printcap' >/etc/lprng/lpd.conf
    touch /etc/lprng/printcap
fi
