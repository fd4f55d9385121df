#!/bin/sh
# Runs a simulated production line from a line description (see demo/lines/*.toml and
# ovikline/ovikline/line.py for the format): builds the release agent and station if needed,
# then runs the line in network namespaces on this machine, or inside the virtual test machine
# when the line needs drivers this kernel lacks (CAN, digital I/O). Run as root; it touches
# nothing outside the namespaces it builds. The reports go to ./line-results (or --out DIR).
#
#   demo/run-line.sh LINE.toml [--out DIR] [--discover S]
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -lt 1 ]; then
  echo "usage: demo/run-line.sh LINE.toml [--out DIR] [--discover S]" >&2
  exit 2
fi
line=$(realpath "$1")
shift

if [ -z "${OVIK_AGENT:-}" ] || [ -z "${OVIK_STATION:-}" ]; then
  echo "==> Building ovikburn and ovikstation (release)"
  (cd "$repo" && cmake --preset release >/dev/null &&
     cmake --build --preset release --target ovikburn ovikstation dio-standin | tail -n 1)
fi
OVIK_AGENT=${OVIK_AGENT:-$repo/build/release/src/main/ovikburn}
OVIK_STATION=${OVIK_STATION:-$repo/build/release/src/station/ovikstation}
OVIK_DIO_STANDIN=${OVIK_DIO_STANDIN:-$repo/build/release/ovikline/dio-standin}
PYTHONPATH=$repo/ovikline
export OVIK_AGENT OVIK_STATION OVIK_DIO_STANDIN PYTHONPATH

# 0: the line runs here; 2: it needs the test machine; 3: the description is wrong.
status=0
/usr/bin/python3 -B -m ovikline.cli --check "$line" >/dev/null || status=$?
if [ "$status" -eq 2 ] && "$repo/test/vm/ovik-vm" status >/dev/null 2>&1; then
  echo "==> The line needs drivers this kernel lacks: starting the virtual test machine"
  exec "$repo/test/vm/ovik-vm" run --timeout 1200 -- \
    /usr/bin/python3 -B -m ovikline.cli "$line" "$@"
fi
exec /usr/bin/python3 -B -m ovikline.cli "$line" "$@"
