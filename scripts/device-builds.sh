#!/bin/bash
# Device builds: the agent and its unit tests for armhf and arm64 with Debian's cross compilers,
# the unit tests under qemu-user, the statically linked agents, and the Debian packages of the
# agent (amd64, armhf, arm64) and of the station (amd64). The amd64 packages are installed into
# a throwaway root with dpkg, checked and removed again. Run as root on Debian 12 after
# scripts/install-deps.sh.
#
#   scripts/device-builds.sh            all of it
#   scripts/device-builds.sh prepare    only the target files that are unpacked, not installed
#
# Nothing here starts the agent except with -h and -T, which only print.
set -euo pipefail
cd "$(dirname "$0")/.."

# The build date that the agent's usage text must show, as it is specified.
builddate=20240116134911

step() { printf '\n=== %s ===\n' "$*"; }
fail() {
  echo "device-builds: $*" >&2
  exit 1
}
configure() { nice -n 10 cmake --preset "$1" >/dev/null; }
build() { nice -n 10 cmake --build --preset "$1" -j 2; }
project_version() { sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "build/$1/CMakeCache.txt"; }

for tool in arm-linux-gnueabihf-g++ aarch64-linux-gnu-g++ qemu-arm qemu-aarch64; do
  command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/install-deps.sh"
done
# The static agents are built from the same objects as the dynamic ones: with ccache only their
# link step is new.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
scratch=$(mktemp -d /tmp/ovik-device-builds-XXXXXX)
trap 'rm -rf "$scratch"' EXIT

# libiw-dev of a foreign architecture depends on that architecture's libc6-dev, which apt can only
# install when its kernel headers are the very version this machine has. The library needs
# nothing of it, so when apt cannot install it, its files are unpacked into the folder that the
# toolchain files search (cmake/toolchains/debian-cross.cmake).
prepare() {
  local arch triplet root deb
  for arch in armhf arm64; do
    [ "$(dpkg-query -W -f='${Status}' "libiw-dev:$arch" 2>/dev/null)" = "install ok installed" ] \
      && continue
    triplet=$(dpkg-architecture -a "$arch" -q DEB_HOST_MULTIARCH 2>/dev/null)
    root=/var/cache/ovikburn-cross/$triplet
    [ -e "$root/usr/lib/$triplet/libiw.a" ] && continue
    deb=$scratch/$arch
    mkdir -p "$deb"
    (cd "$deb" && apt-get download -qq -o APT::Sandbox::User=root "libiw-dev:$arch") \
      || fail "cannot download libiw-dev:$arch (dpkg --add-architecture $arch; apt-get update)"
    rm -rf "$root"
    mkdir -p "$root"
    dpkg-deb -x "$deb"/libiw-dev_*.deb "$root"
    echo "libiw-dev:$arch unpacked into $root"
  done
}

# The agent's usage text, as -h prints it for the given program path (exit status 1).
check_usage() {
  local out status=0
  out=$("$@" -h) || status=$?
  [ "$status" = 1 ] || fail "'$* -h' ended with status $status, not 1"
  grep -qxF "$(printf 'ovikburn builddate:\t%s' "$builddate")" <<<"$out" \
    || fail "'$* -h' shows no build date line: $out"
  [ "$("$@" -T 48656C6C6F)" = Hello ] || fail "'$* -T 48656C6C6F' does not print Hello"
}

# A package's control field.
field() { dpkg-deb -f "$1" "$2"; }

check_agent_package() {
  local deb=$1 arch=$2
  [ "$(field "$deb" Architecture)" = "$arch" ] || fail "$deb: architecture $(field "$deb" Architecture)"
  local depends
  depends=$(field "$deb" Depends)
  for dep in libc6 libiniparser1 libiw30 libstdc++6; do
    grep -qw "$dep" <<<"$depends" || fail "$deb: no dependency on $dep: $depends"
  done
  local files
  files=$(dpkg-deb -c "$deb")
  grep -q ' ./usr/sbin/ovikburn$' <<<"$files" || fail "$deb: no /usr/sbin/ovikburn"
  grep -q ' ./usr/share/doc/ovikburn/examples/cfg_ovikburn$' <<<"$files" \
    || fail "$deb: no example configuration"
  local version
  version=$(field "$deb" Version)
  dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/sbin/ovikburn >"$scratch/ovikburn"
  grep -qaF "ovikburn $version builddate $builddate" "$scratch/ovikburn" \
    || fail "$deb: the agent inside does not name release $version"
  echo "$deb: version $version, depends on $depends"
}

# The line simulator's package: its command, its Python package and stand-in, and what it runs.
check_line_package() {
  local deb=$1 depends files path
  [ "$(field "$deb" Architecture)" = amd64 ] || fail "$deb: architecture $(field "$deb" Architecture)"
  depends=$(field "$deb" Depends)
  for dep in python3 iproute2 util-linux mount fuse3 libfuse3-3 ovikburn ovikstation; do
    grep -qw -- "$dep" <<<"$depends" || fail "$deb: no dependency on $dep: $depends"
  done
  files=$(dpkg-deb -c "$deb")
  for path in /usr/bin/ovikline /usr/lib/ovikline/ovikline/cli.py \
    /usr/lib/ovikline/ovikline/launch.py /usr/lib/ovikline/dio-standin; do
    grep -q " \.$path\$" <<<"$files" || fail "$deb: no $path"
  done
  echo "$deb: depends on $depends"
}

# dpkg -i and -r into a throwaway root that holds a copy of this machine's package database, so
# the dependencies are checked against what is installed here and nothing here is changed.
check_install() {
  local root=$scratch/root
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  cp /var/lib/dpkg/status "$root/var/lib/dpkg/status"
  cp /var/lib/dpkg/info/*.list "$root/var/lib/dpkg/info/"
  dpkg --root="$root" -i "$@"
  check_usage "$root/usr/sbin/ovikburn"
  "$root/usr/bin/ovikstation" --help >/dev/null || fail "ovikstation --help failed"
  "$root/usr/bin/ovikline" check demo/lines/demo.toml >/dev/null \
    || fail "the installed ovikline does not check the demo line"
  dpkg --root="$root" -r ovikline ovikburn ovikstation
  [ ! -e "$root/usr/sbin/ovikburn" ] && [ ! -e "$root/usr/bin/ovikstation" ] \
    && [ ! -e "$root/usr/bin/ovikline" ] && [ ! -e "$root/usr/lib/ovikline" ] \
    || fail "dpkg -r left the programs behind"
}

prepare
[ "${1:-}" = prepare ] && exit 0

started=$SECONDS
for arch in armhf arm64; do
  step "$arch: the agent and its unit tests"
  configure "$arch"
  build "$arch"

  step "$arch: unit tests under qemu-user"
  nice -n 10 ctest --preset "$arch" -j 2

  step "$arch: the agent linked statically"
  configure "$arch-static"
  build "$arch-static"
  agent=build/$arch-static/src/main/ovikburn
  grep -q 'no dynamic section' <<<"$(readelf -d "$agent")" || fail "$agent is not statically linked"
  qemu=$(sed -n 's/^OVIK_QEMU_USER:FILEPATH=//p' "build/$arch/CMakeCache.txt")
  check_usage "$qemu" "$agent"

  step "$arch: package"
  nice -n 10 cpack --preset "$arch" >/dev/null
  check_agent_package "build/$arch/ovikburn_$(project_version "$arch")_$arch.deb" "$arch"
done

step "amd64: the agent, the station and the line simulator, packages"
configure amd64
build amd64
nice -n 10 cpack --preset amd64 >/dev/null
version=$(project_version amd64)
check_agent_package "build/amd64/ovikburn_${version}_amd64.deb" amd64
station=build/amd64/ovikstation_${version}_amd64.deb
[ "$(field "$station" Architecture)" = amd64 ] || fail "$station: not amd64"
grep -q ' ./usr/bin/ovikstation$' <<<"$(dpkg-deb -c "$station")" || fail "$station: no /usr/bin/ovikstation"
echo "$station: depends on $(field "$station" Depends)"
line=build/amd64/ovikline_${version}_amd64.deb
check_line_package "$line"

step "amd64: dpkg -i and -r of the three packages"
check_install "build/amd64/ovikburn_${version}_amd64.deb" "$station" "$line"

step "stripped sizes of ovikburn"
for dir in amd64 armhf armhf-static arm64 arm64-static; do
  strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "build/$dir/CMakeCache.txt")
  "$strip" -o "build/$dir/ovikburn.stripped" "build/$dir/src/main/ovikburn"
  printf '%-14s %9d bytes\n' "$dir" "$(stat -c %s "build/$dir/ovikburn.stripped")"
done

echo
echo "Device builds, their unit tests and the packages passed in $((SECONDS - started)) s."
