#!/usr/bin/env bash
# Sets up and runs Quillport on a ready demo configuration: two printers on
# loopback that print to a private CUPS queue, which writes every job to a
# file. Everything lives in demo/ beside the sources. Ctrl+C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target quillport -j "$(nproc)"

demo=$PWD/demo
data=$demo/data/quillport
mkdir -p "$data" "$demo/home"
cat > "$data/settings.json" <<'JSON'
{
  "logtype": "textfile",
  "printers": [
    { "localname": "demo", "active": true, "listen": "127.0.0.1", "port": 9101,
      "storejobs": true, "jobspath": "jobs", "log": "d" },
    { "localname": "demo", "active": true, "listen": "127.0.0.1", "port": 9102,
      "subnets": "127.0.0.2/32" }
  ]
}
JSON

cups_server=$(bash scripts/demo-cups.sh start "$demo/cups")
trap 'bash scripts/demo-cups.sh stop "$demo/cups"' EXIT

echo "Quillport listens on 127.0.0.1:9101 (stores jobs) and 127.0.0.1:9102 (127.0.0.2 only)."
echo "Send a job:  nc -q1 127.0.0.1 9101 < FILE"
echo "Printed to:  $demo/cups/printed/    stored in: $data/jobs/    log: $data/Quillport.log"
CUPS_SERVER=$cups_server XDG_DATA_HOME=$demo/home XDG_DATA_DIRS=$demo/data ./build/printserver/quillport -e
