#!/bin/sh
# The README's demo: a simulated production line of 8 devices, two with an injected fault
# (demo/lines/demo.toml), burnt in at once by ovikstation. Run as root on Debian 12: it
# installs what it needs, builds the release preset, and runs the line inside the virtual test
# machine (real hardware clock) when that can start here, else directly in network
# namespaces. It touches nothing outside the namespaces it builds; the station's reports and
# run records stay in ./line-results.
#
#   demo/run-demo.sh [--out DIR] [--discover S]
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)

echo "==> Installing the Debian packages the line needs"
"$repo/scripts/install-deps.sh"
exec "$repo/demo/run-line.sh" "$repo/demo/lines/demo.toml" "$@"
