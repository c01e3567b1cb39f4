#!/usr/bin/env bash
# A CUPS scheduler of its own in a folder, for trying Quillport without a
# printer: its raw queue "demo" writes every job it prints to
# DIR/printed/<job id>.prn. Nothing outside DIR is touched.
#   demo-cups.sh start DIR   prints the value for CUPS_SERVER
#   demo-cups.sh stop DIR
set -euo pipefail

usage() { echo "usage: $0 start|stop DIR" >&2; exit 2; }
[ $# -eq 2 ] || usage
[ "$1" = start ] && mkdir -p "$2"
dir=$(cd "$2" && pwd)
socket=$dir/cups.sock

# Alive and not merely waiting to be reaped.
running() {
    local state
    state=$(ps -o stat= -p "$1") && [ "${state#Z}" = "$state" ]
}

stop() {
    [ -f "$dir/state/cupsd.pid" ] || return 0
    pid=$(cat "$dir/state/cupsd.pid")
    # A pid file left by a crash may name some other process by now.
    [ "$(ps -o comm= -p "$pid")" = cupsd ] || return 0
    kill "$pid"
    for _ in $(seq 50); do running "$pid" || return 0; sleep 0.1; done
    echo "cupsd ($pid) did not stop" >&2
    return 1
}

start() {
    command -v cupsd >/dev/null || PATH=$PATH:/usr/sbin
    command -v cupsd >/dev/null || { echo "cupsd is not installed (Debian: cups-daemon)" >&2; exit 1; }
    stop
    mkdir -p "$dir"/{bin/backend,spool,cache,state,log,tmp,printed}
    # The scheduler starts every backend through ServerBin/daemon/cups-exec.
    ln -sfn /usr/lib/cups/daemon "$dir/bin/daemon"

    # Owned by the caller and private to it, the backend runs as the caller.
    cat > "$dir/bin/backend/printed" <<'BACKEND'
#!/bin/sh
[ $# -eq 0 ] && exit 0
folder=${DEVICE_URI#printed:}
if [ $# -ge 6 ]; then cat -- "$6"; else cat; fi > "$folder/.$1.part" || exit 1
mv -- "$folder/.$1.part" "$folder/$1.prn"
BACKEND
    chmod 700 "$dir/bin/backend/printed"

    cat > "$dir/cups-files.conf" <<CONF
ServerRoot $dir
ServerBin $dir/bin
RequestRoot $dir/spool
TempDir $dir/tmp
CacheDir $dir/cache
StateDir $dir/state
AccessLog $dir/log/access_log
ErrorLog $dir/log/error_log
PageLog $dir/log/page_log
Printcap $dir/printcap
CONF
    if [ "$(id -u)" -eq 0 ]; then
        printf 'User lp\nGroup lp\nSystemGroup root\n' >> "$dir/cups-files.conf"
    fi

    # Only the local socket, and anyone who reaches it may administer.
    cat > "$dir/cupsd.conf" <<CONF
Listen $socket
Browsing No
BrowseLocalProtocols none
WebInterface No
ErrorPolicy abort-job
PreserveJobFiles No
DefaultPolicy demo
<Policy demo>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF

    # Without -f cupsd returns once it is ready, and keeps its pid in StateDir.
    cupsd -c "$dir/cupsd.conf" -s "$dir/cups-files.conf"
    CUPS_SERVER=$socket lpadmin -p demo -E -v "printed:$dir/printed"
    echo "cupsd runs in $dir; queue \"demo\" prints to $dir/printed/" >&2
    echo "$socket"
}

case $1 in
    start) start ;;
    stop) stop ;;
    *) usage ;;
esac
