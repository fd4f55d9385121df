#!/bin/bash
# Installs Debian packages. Run as root.
#   install-deps.sh demo   what the demo builds (the demo preset) and its line runs
#   install-deps.sh        that and everything building and testing all of it needs
set -euo pipefail

mode=${1:-all}
case "$mode" in
  demo | all) ;;
  *) echo "usage: $0 [demo]" >&2; exit 2 ;;
esac

packages=(
  build-essential g++ cmake ninja-build pkg-config ccache
  libiniparser-dev libiw-dev libcli11-dev libsqlite3-dev nlohmann-json3-dev
  libcpp-httplib-dev libpq-dev libmosquitto-dev
  # the line simulator: namespaces, veths, mounts; the devices' own clocks through FUSE
  python3 iproute2 net-tools util-linux procps libfuse3-dev fuse3
)
test_packages=(
  # the station's dashboard and shared run records, and what their tests drive
  postgresql chromium chromium-driver mosquitto mosquitto-clients
  # the station's /metrics, scraped by a real Prometheus server
  prometheus
  googletest libgtest-dev libgmock-dev
  clang-tidy clang-format
  # the fuzz targets: clang with libFuzzer and the sanitizer runtimes, llvm-symbolizer
  clang-14 libclang-rt-14-dev llvm
  python3-pytest python3-pytest-xdist
  # the line simulator's lossy cables
  nftables
  # the virtual test machine and the tools its tests use inside it
  qemu-system-x86 busybox-static kmod dosfstools iw hostapd wireless-tools util-linux-extra
  # device builds: cross compilers, the device's libraries, qemu-user for their unit tests
  g++-arm-linux-gnueabihf g++-aarch64-linux-gnu qemu-user
  libiniparser-dev:armhf libiniparser-dev:arm64 libiw30:armhf libiw30:arm64
  libstdc++6:armhf libstdc++6:arm64
  libgtest-dev:armhf libgtest-dev:arm64 libgmock-dev:armhf libgmock-dev:arm64
  # the packages' checks: lintian (which reads manual pages with man-db), systemd-analyze
  lintian man-db systemd
)
if [ "$mode" = all ]; then
  packages+=("${test_packages[@]}")
  # The device's architectures, for their libraries.
  for arch in armhf arm64; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
  done
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing Debian packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # A mirror in the middle of a sync may refuse one foreign index; the others still serve.
  apt-get update -qq || echo "Some package lists could not be refreshed; going on with the others."
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The virtual test machine's kernel (Debian's linux-image-amd64), cached outside the repository.
# Without it the tests that need real drivers report a skip.
if [ "$mode" = all ]; then
  "$(dirname "$0")/../ovikline/bin/ovikline" vm prepare \
    || echo "The virtual test machine could not be prepared; its tests will be skipped."
fi
