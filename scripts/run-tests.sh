#!/bin/bash
# Builds everything and runs every test: the unit tests and the system tests in the simulated
# factory network, under AddressSanitizer+UBSan and under ThreadSanitizer, plus clang-tidy and
# the format check. Run as root on Debian 12 (the system tests create network namespaces).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

jobs=$(nproc)
step() { printf '\n=== %s ===\n' "$*"; }

step "format check (clang-format)"
git ls-files -- 'src/*.cpp' 'src/*.h' 'test/*.cpp' 'test/*.h' 'bench/*.cpp' 'ovikline/*.cpp' 'ovikline/*.c' \
  | xargs -r clang-format --dry-run --Werror

step "debug build with AddressSanitizer and UBSan"
cmake --preset debug >/dev/null
cmake --build --preset debug -j "$jobs"

step "tests under AddressSanitizer and UBSan (the system suite here and, where it needs the device's drivers, in the test machine)"
ctest --preset debug -j "$jobs"

step "ThreadSanitizer build"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"

step "tests under ThreadSanitizer (unit tests, and the system tests that keep every agent thread busy)"
# The browser and PostgreSQL tests (label web) ran under AddressSanitizer above.
ctest --preset tsan -j "$jobs" -LE "vm|web"

step "clang-tidy"
cmake --preset tidy >/dev/null
cmake --build --preset tidy -j "$jobs" --target ovikburn ovikstation

step "fuzz targets (libFuzzer with ASan and UBSan, 20 s each over the seed corpora)"
./scripts/fuzz.sh

step "device builds: armhf and arm64, their unit tests under qemu-user, static agents, packages"
./scripts/device-builds.sh

echo
echo "All tests passed."
