#!/bin/sh
# The README's demo: a simulated production line of 8 devices, two with an injected fault
# (demo/lines/demo.toml), burnt in at once by ovikstation. Run as root on Debian 12: it
# installs what it needs, builds the release preset, and runs the line with ovikline in network
# namespaces on this machine. It touches nothing outside the namespaces it builds; the station's
# reports and run records stay in ./line-results.
#
#   demo/run-demo.sh [--out DIR] [--discover S] [-- STATION_OPTION ...]
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)

echo "==> Installing the Debian packages the line needs"
"$repo/scripts/install-deps.sh"
echo "==> Building ovikburn, ovikstation and the stand-ins (release)"
cd "$repo"
cmake --preset release >/dev/null
cmake --build --preset release --target ovikburn ovikstation dio-standin rtc-clock | tail -n 1
cd - >/dev/null
exec "$repo/ovikline/bin/ovikline" run "$repo/demo/lines/demo.toml" "$@"
