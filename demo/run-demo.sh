#!/bin/sh
# A simulated production line: ovikstation burns in two simulated devices, then burns in two
# more and has them install a firmware file. Run as root on Debian 12: it installs what it
# needs, builds the release preset, and runs the line inside the virtual test machine (real
# hardware clock) when that can start here, else directly in network namespaces. It touches
# nothing outside the namespaces it builds.
#
#   demo/run-demo.sh [--duration S] [--discover S]
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

echo "==> Installing the Debian packages the line needs"
./scripts/install-deps.sh
echo "==> Building ovikburn and ovikstation (release)"
cmake --preset release >/dev/null
cmake --build --preset release --target ovikburn ovikstation | tail -n 1

OVIK_AGENT=${OVIK_AGENT:-$repo/build/release/src/main/ovikburn}
OVIK_STATION=${OVIK_STATION:-$repo/build/release/src/station/ovikstation}
export OVIK_AGENT OVIK_STATION

if test/vm/ovik-vm status >/dev/null 2>&1; then
  echo "==> Starting the virtual test machine (Debian's kernel under QEMU, about 5 s)"
  exec test/vm/ovik-vm run --timeout 900 -- /usr/bin/python3 -B "$repo/demo/demo.py" "$@"
fi
echo "==> The virtual test machine cannot start here; running the line directly"
exec /usr/bin/python3 -B "$repo/demo/demo.py" "$@"
