#!/bin/sh
# Burn-in of two simulated devices driven by ovikstation, then a second run with a firmware
# download. Needs root (it builds network namespaces); touches nothing outside them.
#
#   sudo demo/run-demo.sh                     binaries from build/release
#   OVIK_AGENT=... OVIK_STATION=... demo/run-demo.sh
set -eu
here=$(cd "$(dirname "$0")" && pwd)
exec /usr/bin/python3 -B "$here/demo.py" "$@"
