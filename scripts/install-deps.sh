#!/bin/bash
# Installs the Debian packages that building, testing and the demo need. Run as root.
set -euo pipefail

packages=(
  build-essential g++ cmake ninja-build pkg-config
  libiniparser-dev libiw-dev libcli11-dev
  googletest libgtest-dev libgmock-dev
  clang-tidy clang-format
  python3 python3-pytest
  iproute2 net-tools util-linux procps
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing Debian packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
