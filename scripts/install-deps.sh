#!/usr/bin/env bash
# Installs what building and testing Quillport needs on Debian 12 (as root),
# and any further Debian packages named as arguments.
set -euo pipefail
# Building: Qt 5, libcups. The Windows build: the MinGW-w64 compilers, what
# building Qt from Debian's source package takes (dpkg-dev for apt-get
# source, perl, python3), and Wine to run it. The tests' peers that nobody
# here wrote: a private CUPS, systemd in a container, the raw print daemon
# p910nd, rlpr, avahi and its browser (in network namespaces of the test's
# own: iproute2), promtool, logrotate. The packages: debhelper for the Debian
# package and lintian to check it, wixl and msitools for the Windows
# installer.
packages=(build-essential cmake ninja-build pkg-config qtbase5-dev libcups2-dev cups-daemon cups-client
          g++-mingw-w64-x86-64-posix dpkg-dev xz-utils perl wine wine64
          netcat-openbsd systemd systemd-container dbus python3 logrotate iproute2
          p910nd rlpr avahi-daemon avahi-utils prometheus
          debhelper lintian wixl msitools "$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    # The daemons among them (p910nd, avahi, prometheus) must not start on
    # their own: the tests start what they need, on loopback.
    policy=/usr/sbin/policy-rc.d
    [ -e "$policy" ] || { printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod +x "$policy" && trap 'rm -f "$policy"' EXIT; }
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
# Where p910nd keeps its lock; its init script makes it otherwise.
mkdir -p /var/lock/p910nd

# CUPS's lpd and socket backends come in the "cups" package, whose filters
# and drivers the tests do not need, and LPRng's lpr conflicts with
# cups-client: both are unpacked from Debian's own packages into a folder of
# the tests' own instead.
tools=/opt/quillport-tests
for p in cups lprng; do
    if [ ! -d "$tools/$p" ]; then
        work=$(mktemp -d)
        (cd "$work" && { apt-get download "$p" >/dev/null 2>&1 || { apt-get update -q && apt-get download "$p"; }; })
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
