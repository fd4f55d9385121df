#!/bin/sh
# The README's demo: a simulated production line of 8 devices, two with an injected fault
# (demo/lines/demo.toml), burnt in at once by ovikstation. Run as root on Debian 12: it
# installs only what the line needs, builds the demo preset (release, without the tests), and
# runs the line with ovikline in network namespaces on this machine. It touches nothing outside
# the namespaces it builds; the station's reports and run records stay in ./line-results.
#
#   demo/run-demo.sh [--out DIR] [--discover S] [-- STATION_OPTION ...]
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)

echo "==> Installing the Debian packages the line needs"
"$repo/scripts/install-deps.sh" demo
echo "==> Building ovikburn, ovikstation and the devices' clock (demo preset)"
cd "$repo"
cmake --preset demo >/dev/null
cmake --build --preset demo --target ovikburn ovikstation rtc-clock | tail -n 1
cd - >/dev/null
build="$repo/build/demo"
export OVIK_AGENT="$build/src/main/ovikburn" OVIK_STATION="$build/src/station/ovikstation" \
  OVIK_RTC_CLOCK="$build/ovikline/rtc-clock"
exec "$repo/ovikline/bin/ovikline" run "$repo/demo/lines/demo.toml" "$@"
