#!/bin/sh
# Builds the libFuzzer targets (preset fuzz: clang, AddressSanitizer, UBSan) and runs each for a
# bounded time over its seed corpus in test/fuzz/corpus/<target>/, then prints the executions
# per target. Fails when a target crashes, breaks an invariant or cannot be run.
#
#   scripts/fuzz.sh                       # 20 s per target
#   OVIK_FUZZ_SECONDS=300 scripts/fuzz.sh # longer runs by hand
#
# New inputs go to build/fuzz/corpus/<target>/ (the seeds in the repository stay as they are);
# a crashing input is kept as build/fuzz/artifacts/<target>-crash-* : add it to the target's
# seeds as regress-<what>.<ext> together with the fix and its unit test.
set -eu

cd "$(dirname "$0")/.."
seconds=${OVIK_FUZZ_SECONDS:-20}
jobs=${OVIK_FUZZ_JOBS:-2}
build=build/fuzz
seeds=test/fuzz/corpus

began=$(date +%s)
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --parallel "$jobs"
built=$(date +%s)

mkdir -p "$build/artifacts" "$build/logs"
status=0
summary=""
for seed_dir in "$seeds"/*/; do
    target=$(basename "$seed_dir")
    binary="$build/test/fuzz/$target"
    if [ ! -x "$binary" ]; then
        echo "fuzz: $target has seeds but was not built" >&2
        status=1
        continue
    fi
    work="$build/corpus/$target"
    log="$build/logs/$target.log"
    mkdir -p "$work"
    echo "fuzz: $target for ${seconds} s"
    # The first directory takes what the run finds; the seeds are only read.
    # Each target runs in a mount namespace of its own with empty /dev/shm and /media: the
    # readers look at fixed paths there, and this machine's must stay out of reach.
    if unshare --mount --propagation private sh -c \
        'mount -t tmpfs tmpfs /dev/shm && mount -t tmpfs tmpfs /media && exec "$@"' fuzz \
        "$binary" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$target-" "$work" "$seed_dir" >"$log" 2>&1; then
        result=ok
    else
        result=FAILED
        status=1
        echo "fuzz: $target failed; the end of $log:" >&2
        tail -n 40 "$log" >&2
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    inputs=$(find "$work" -type f | wc -l)
    summary="$summary$(printf '%-24s %12s %10s %8s  %s' "$target" "${runs:-?}" "${rate:-?}" \
        "$inputs" "$result")
"
done

ended=$(date +%s)
printf '\n%-24s %12s %10s %8s  %s\n' target executions "exec/s" corpus result
printf '%s' "$summary"
printf 'build %d s, fuzzing %d s, total %d s\n' $((built - began)) $((ended - built)) \
    $((ended - began))
exit "$status"
