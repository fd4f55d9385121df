#!/bin/bash
# Device builds: the agent and its unit tests for armhf and arm64 with Debian's cross compilers,
# the unit tests under qemu-user, the statically linked agents (the armhf one also drives a
# short simulated line under qemu-user), and the Debian packages of the agent (amd64, armhf,
# arm64) and of the station (amd64). lintian checks every package, and
# systemd-analyze the units of the amd64 ones in a throwaway root; they are installed into
# another throwaway root with dpkg, checked and purged again. Run as root on Debian 12 after
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

# Fails unless the package holds every one of the given files.
has_files() {
  local deb=$1 files path
  shift
  files=$(dpkg-deb -c "$deb")
  for path; do
    grep -q " \.$path\$" <<<"$files" || fail "$deb: no $path"
  done
}

check_agent_package() {
  local deb=$1 arch=$2
  [ "$(field "$deb" Architecture)" = "$arch" ] || fail "$deb: architecture $(field "$deb" Architecture)"
  local depends
  depends=$(field "$deb" Depends)
  for dep in libc6 libiniparser1 libiw30 libstdc++6; do
    grep -qw "$dep" <<<"$depends" || fail "$deb: no dependency on $dep: $depends"
  done
  has_files "$deb" /usr/sbin/ovikburn /usr/lib/systemd/system/ovikburn.service \
    /usr/share/man/man8/ovikburn.8.gz /usr/share/doc/ovikburn/examples/cfg_ovikburn \
    /usr/share/doc/ovikburn/copyright /usr/share/doc/ovikburn/changelog.gz
  local version
  version=$(field "$deb" Version)
  dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/sbin/ovikburn >"$scratch/ovikburn"
  grep -qaF "ovikburn $version builddate $builddate" "$scratch/ovikburn" \
    || fail "$deb: the agent inside does not name release $version"
  echo "$deb: version $version, depends on $depends"
}

# The packages' units, checked by systemd-analyze in a throwaway root that holds the packages'
# files, systemd's own units (copied from this machine, for the targets they name) and a shell
# for ExecStartPre. The manual pages that Documentation= names are looked up in the packages.
# Any remark (an unknown key, a missing program or page) fails.
check_units() {
  local root=$scratch/units deb out
  mkdir -p "$root/usr/lib/systemd/system" "$root/bin"
  cp -a /usr/lib/systemd/system/. "$root/usr/lib/systemd/system/"
  cp "$(readlink -f /bin/sh)" "$root/bin/sh"
  for deb; do dpkg-deb -x "$deb" "$root"; done
  out=$(MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" \
    /usr/lib/systemd/system/ovikburn.service /usr/lib/systemd/system/ovikstation.service 2>&1) \
    || fail "systemd-analyze verify failed: $out"
  [ -z "$out" ] || fail "systemd-analyze verify: $out"
  echo "ovikburn.service, ovikstation.service: verified"
}

# The line simulator's package: its command, its Python package and stand-in, and what it runs.
check_line_package() {
  local deb=$1 depends
  [ "$(field "$deb" Architecture)" = amd64 ] || fail "$deb: architecture $(field "$deb" Architecture)"
  depends=$(field "$deb" Depends)
  for dep in python3 iproute2 mount fuse3 libfuse3-3 ovikburn ovikstation; do
    grep -qw -- "$dep" <<<"$depends" || fail "$deb: no dependency on $dep: $depends"
  done
  has_files "$deb" /usr/bin/ovikline /usr/lib/ovikline/ovikline/cli.py \
    /usr/lib/ovikline/ovikline/launch.py /usr/lib/ovikline/dio-standin \
    /usr/lib/ovikline/rtc-clock /usr/share/man/man1/ovikline.1.gz \
    /usr/share/doc/ovikline/copyright /usr/share/doc/ovikline/changelog.gz
  echo "$deb: depends on $depends"
}

# dpkg -i and -P into a throwaway root that holds a copy of this machine's package database, so
# the dependencies are checked against what is installed here and nothing here is changed. The
# maintainer scripts run outside the root (there is no shell in it) and act on DPKG_ROOT only.
check_install() {
  local root=$scratch/root
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  cp /var/lib/dpkg/status "$root/var/lib/dpkg/status"
  cp /var/lib/dpkg/info/*.list "$root/var/lib/dpkg/info/"
  dpkg --root="$root" --force-script-chrootless -i "$@"
  check_usage "$root/usr/sbin/ovikburn"
  "$root/usr/bin/ovikstation" --help >/dev/null || fail "ovikstation --help failed"
  "$root/usr/bin/ovikline" check demo/lines/demo.toml >/dev/null \
    || fail "the installed ovikline does not check the demo line"
  local conffiles
  conffiles=$(dpkg-query --root="$root" -W -f='${Conffiles}' ovikstation)
  grep -q ' /etc/default/ovikstation ' <<<"$conffiles" \
    || fail "/etc/default/ovikstation is no conffile"
  [ -e "$root/var/lib/systemd/deb-systemd-helper-enabled/ovikstation.service.dsh-also" ] \
    || fail "postinst did not record ovikstation.service's links in the root"
  dpkg --root="$root" --force-script-chrootless -P ovikline ovikburn ovikstation
  local left
  left=$(find "$root" -path "$root/var" -prune -o ! -type d -print)
  [ -z "$left" ] || fail "dpkg -P left files behind: $left"
}

prepare
[ "${1:-}" = prepare ] && exit 0

started=$SECONDS
debs=()
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
  debs+=("build/$arch/ovikburn_$(project_version "$arch")_$arch.deb")
  check_agent_package "${debs[-1]}" "$arch"
done

step "amd64: the agent, the station and the line simulator, packages"
configure amd64
build amd64
nice -n 10 cpack --preset amd64 >/dev/null
version=$(project_version amd64)
check_agent_package "build/amd64/ovikburn_${version}_amd64.deb" amd64
station=build/amd64/ovikstation_${version}_amd64.deb
[ "$(field "$station" Architecture)" = amd64 ] || fail "$station: not amd64"
has_files "$station" /usr/bin/ovikstation /usr/lib/systemd/system/ovikstation.service \
  /etc/default/ovikstation /usr/share/man/man1/ovikstation.1.gz \
  /usr/share/doc/ovikstation/copyright /usr/share/doc/ovikstation/changelog.gz
echo "$station: depends on $(field "$station" Depends)"
line=build/amd64/ovikline_${version}_amd64.deb
check_line_package "$line"
debs+=("build/amd64/ovikburn_${version}_amd64.deb" "$station" "$line")

step "armhf: a short line with the static agent under qemu-user (32-bit time_t on the host link)"
qemu=$(sed -n 's/^OVIK_QEMU_USER:FILEPATH=//p' build/armhf/CMakeCache.txt)
printf '#!/bin/sh\nexec %s %s "$@"\n' "$qemu" "$PWD/build/armhf-static/src/main/ovikburn" \
  >"$scratch/ovikburn-armhf"
chmod +x "$scratch/ovikburn-armhf"
./scripts/line-check.sh armhf test/system/lines/short.toml "$scratch/ovikburn-armhf" \
  build/amd64/src/station/ovikstation build/amd64/ovikline/rtc-clock

step "lintian on every package: no error, no warning"
lintian --fail-on error,warning "${debs[@]}" || fail "lintian found errors or warnings"

step "amd64: the units, verified in a scratch root"
check_units "build/amd64/ovikburn_${version}_amd64.deb" "$station"

step "amd64: dpkg -i and -P of the three packages"
check_install "build/amd64/ovikburn_${version}_amd64.deb" "$station" "$line"

step "stripped sizes of ovikburn"
for dir in amd64 armhf armhf-static arm64 arm64-static; do
  strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "build/$dir/CMakeCache.txt")
  "$strip" -o "build/$dir/ovikburn.stripped" "build/$dir/src/main/ovikburn"
  printf '%-14s %9d bytes\n' "$dir" "$(stat -c %s "build/$dir/ovikburn.stripped")"
done

echo
echo "Device builds, their unit tests and the packages passed in $((SECONDS - started)) s."
