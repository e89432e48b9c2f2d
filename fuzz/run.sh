#!/bin/bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a
# bounded time on a copy of its seed corpus (the repository is never written).
# Fails on any crash, sanitizer report, hang (-timeout) or runaway memory use.
#   fuzz/run.sh [seconds per target, default 60]
# A failing input is kept in <build dir>/fuzz-artifacts/ and printed in base64.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=${CORVALET_FUZZ_BUILD_DIR:-$root/build-fuzz}
targets=(fuzz_exportprogress fuzz_config fuzz_hostname fuzz_mp4duration)

# Reports name functions and lines when a symbolizer is at hand.
if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ] && ! command -v llvm-symbolizer >/dev/null \
        && command -v llvm-symbolizer-14 >/dev/null; then
    export ASAN_SYMBOLIZER_PATH=$(command -v llvm-symbolizer-14)
fi
work=$(mktemp -d)
scratch=
trap 'rm -rf "$work" ${scratch:+"$scratch"}' EXIT
if ! { CXX=$(command -v clang++-14 || command -v clang++) cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCORVALET_FUZZ=ON -DCORVALET_BUILD_TESTS=OFF -DCORVALET_BUILD_BENCH=OFF \
        && cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"; } >"$work/build.log" 2>&1; then
    tail -n 40 "$work/build.log"
    echo "fuzz: the build failed"
    exit 1
fi
# The config and host name targets write a file for every input (in a
# QTemporaryDir); on tmpfs that costs microseconds, on a journalled disk it is
# most of the run.
if [ -d /dev/shm ] && scratch=$(mktemp -d -p /dev/shm corvalet-fuzz.XXXXXX 2>/dev/null); then
    export TMPDIR=$scratch
fi
artifacts=$build/fuzz-artifacts
failed=0
for target in "${targets[@]}"; do
    mkdir -p "$work/$target"
    cp "$root/fuzz/corpus/$target/"* "$work/$target/"
    seeds=$(find "$work/$target" -type f | wc -l)
    log=$work/$target.log
    status=0
    # A hang of 10 s on one input, or 2 GiB of memory, counts as a fault.
    "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$work/$target-" -print_final_stats=1 "$work/$target" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n1)
    corpus=$(find "$work/$target" -type f | wc -l)
    if [ "$status" -eq 0 ]; then
        echo "$target: ok, ${runs:-?} runs in ${seconds} s (${speed:-?} exec/s), corpus $seeds -> $corpus inputs"
        continue
    fi
    failed=1
    mkdir -p "$artifacts"
    echo "$target: FAILED (exit $status) after ${runs:-?} runs"
    grep -E "^(==[0-9]+==|SUMMARY|$target: |    #[0-9] )" "$log" | head -n 20 || true
    for artifact in "$work/$target-"*; do
        [ -e "$artifact" ] || continue
        cp "$artifact" "$artifacts/"
        echo "  input kept in $artifacts/$(basename "$artifact"), base64: $(base64 -w0 "$artifact")"
    done
done
exit "$failed"
