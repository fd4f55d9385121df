#!/bin/bash
# Runs a line through `ovikline run` with the given programs (in the line's own namespaces) and
# fails unless the station's findings are exactly the injected faults and no sanitizer reported
# anything from the agents or the station.
#
#   scripts/line-check.sh NAME LINE.toml AGENT STATION CLOCK
#
# AGENT may be a wrapper that starts a device build under qemu-user.
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# = 5 ] || { echo "usage: $0 NAME LINE.toml AGENT STATION CLOCK" >&2; exit 2; }
name=$1 description=$2 agent=$3 station=$4 clock=$5

out=$(mktemp -d "/tmp/ovik-line-$name-XXXXXX")
trap 'rm -rf "$out"' EXIT
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 log_path=$out/sanitizer"
export ASAN_OPTIONS="log_path=$out/sanitizer"
export UBSAN_OPTIONS="print_stacktrace=1 log_path=$out/sanitizer"
status=0
OVIK_RTC_CLOCK=$(realpath "$clock") ovikline/bin/ovikline run "$description" --name "$name" \
  --out "$out/results" --agent "$(realpath "$agent")" --station "$(realpath "$station")" || status=$?
reports=$(find "$out" -maxdepth 1 -name 'sanitizer.*')
if [ -n "$reports" ]; then
  cat $reports >&2
  echo "line-check: the sanitizer reported the above in line $name" >&2
  exit 1
fi
[ "$status" = 0 ] || { echo "line-check: line $name ended with status $status" >&2; exit 1; }
