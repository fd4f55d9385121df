#!/bin/bash
# Builds everything and runs every test, then prints the time each step took:
#   - one AddressSanitizer+UBSan build for the unit tests, the system tests in the simulated
#     factory network (here, and in the virtual test machine where the device's drivers are
#     needed), the dashboard in headless Chromium and the PostgreSQL run records;
#   - clang-tidy over that build's compile commands, and the format check;
#   - ThreadSanitizer: the unit tests and one short line where the agent's and the station's
#     threads meet;
#   - each fuzz target for a few seconds over its seeds;
#   - the armhf and arm64 builds with their unit tests under qemu-user, the short line with the
#     armhf agent under qemu-user, the static agents and the packages.
# Run as root on Debian 12 (the system tests create network namespaces). ccache keeps the
# compilers' work and scripts/tidy.py its clean checks outside the clone, so a machine that has
# built the project before runs this far faster than a new one.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
# One compiler cache for every clone of the project on this machine.
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
timings=()
step_name=""
step_began=$SECONDS
step() {
  [ -z "$step_name" ] || timings+=("$(printf '%5d s  %s' $((SECONDS - step_began)) "$step_name")")
  step_name=$*
  step_began=$SECONDS
  [ -z "$step_name" ] || printf '\n=== %s ===\n' "$step_name"
}
report() {
  step ""
  echo
  echo "Time per step:"
  printf '  %s\n' "${timings[@]}"
  printf '%7d s  in all\n' "$SECONDS"
}
trap report EXIT

step "Debian packages"
./scripts/install-deps.sh

step "format check (clang-format)"
git ls-files -- 'src/*.cpp' 'src/*.h' 'test/*.cpp' 'test/*.h' 'bench/*.cpp' 'ovikline/*.cpp' 'ovikline/*.c' \
  | xargs -r clang-format --dry-run --Werror

step "build with AddressSanitizer and UBSan"
cmake --preset debug >/dev/null
cmake --build --preset debug -j "$jobs"

step "tests under AddressSanitizer and UBSan: unit, system (here and in the test machine), browser, PostgreSQL"
ctest --preset debug -j "$jobs"

step "clang-tidy over the build's compile commands"
./scripts/tidy.py build/debug

step "ThreadSanitizer build"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"

step "ThreadSanitizer: unit tests and a short line"
ctest --preset tsan -j "$jobs" -L unit
./scripts/line-check.sh tsan test/system/lines/short.toml \
  build/tsan/src/main/ovikburn build/tsan/src/station/ovikstation build/tsan/ovikline/rtc-clock

step "fuzz targets (libFuzzer with ASan and UBSan, a few seconds each over the seed corpora)"
OVIK_FUZZ_SECONDS=${OVIK_FUZZ_SECONDS:-4} ./scripts/fuzz.sh

step "device builds: armhf and arm64, unit tests and a line under qemu-user, static agents, packages"
./scripts/device-builds.sh

trap - EXIT
report
echo "All tests passed."
