#!/bin/bash
# Quick start (b): installs what is missing, builds and runs the whole test
# suite. Run as root: the tests mount real loop-device drives inside a private
# mount namespace (tests/sandbox.sh) and never touch the host's own files.
#
#   scripts/test.sh [--quick] [ctest arguments...]
#
# Stages, each timed, all run even when one fails; the exit status is non-zero
# when any failed:
#   tests       build/ (RelWithDebInfo, warnings as errors), ctest
#   sanitizers  build-asan/ (clang, -DCORVALET_SANITIZE=ON, warnings as errors), ctest again; any report
#               of AddressSanitizer, UndefinedBehaviorSanitizer or
#               LeakSanitizer (suppressions: tests/lsan.supp) fails it
#   fuzz        fuzz/run.sh: each libFuzzer target for CORVALET_FUZZ_SECONDS
#               (default 60) seconds
#   clang-tidy  scripts/clang-tidy.sh
# --quick, or CORVALET_QUICK=1, runs the first stage only.
set -euo pipefail
# Needs root (packages, loop devices, mounts): a user with sudo rights may
# start it as it is and is asked for the password.
if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null; then
    exec sudo -- "$0" "$@"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
quick=${CORVALET_QUICK:-0}
if [ "${1:-}" = --quick ]; then
    quick=1
    shift
fi
build=${CORVALET_BUILD_DIR:-$root/build}
asan_build=${CORVALET_ASAN_BUILD_DIR:-$root/build-asan}
"$root/scripts/install-deps.sh"

tests_stage() {
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVALET_WERROR=ON ${CORVALET_CMAKE_ARGS:-}
    cmake --build "$build" -j"$(nproc)"
    cd "$build"
    ctest --output-on-failure --timeout 900 "$@"
}

sanitizers_stage() {
    # Built with clang: its sanitizer runtime writes UndefinedBehaviorSanitizer
    # reports to log_path like the others, where GCC's separate libubsan
    # ignores log_path and prints to the standard error of whichever program
    # failed, which for the tool started by a test nobody may read. The
    # benchmarks are not part of ctest, so they are not built here.
    CXX=$(command -v clang++-14 || command -v clang++) \
        cmake -S "$root" -B "$asan_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCORVALET_SANITIZE=ON -DCORVALET_BUILD_BENCH=OFF -DCORVALET_WERROR=ON ${CORVALET_CMAKE_ARGS:-}
    cmake --build "$asan_build" -j"$(nproc)"
    local logs=$asan_build/sanitizer-logs
    rm -rf "$logs"
    mkdir -p "$logs"
    cd "$asan_build"
    local status=0
    # package_checks packs the build's program into a .deb and inspects the
    # files and metadata without running the program; an instrumented package
    # is nothing that ships, and lintian would rightly object to it.
    ctest --output-on-failure --timeout 900 -E '^package_checks$' "$@" || status=$?
    # Every report, also one of a program a test started and whose exit
    # status the test did not look at, lands in this directory.
    if [ -n "$(ls -A "$logs")" ]; then
        for report in "$logs"/*; do
            echo "==== $report"
            cat "$report"
        done
        echo "sanitizers: $(ls "$logs" | wc -l) report(s)"
        return 1
    fi
    return "$status"
}

fuzz_stage() {
    "$root/fuzz/run.sh" "${CORVALET_FUZZ_SECONDS:-60}"
}

tidy_stage() {
    "$root/scripts/clang-tidy.sh"
}

summary=()
failed=0
# Runs one stage in a subshell with errexit in force (an "if" or "||" around
# a function would switch errexit off inside it) and records its time.
run_stage() {
    local name=$1
    shift
    local start=$SECONDS status
    echo "==== $name"
    set +e
    (
        set -e
        "$@"
    )
    status=$?
    set -e
    local verdict=ok
    if [ "$status" -ne 0 ]; then
        verdict="FAILED ($status)"
        failed=1
    fi
    summary+=("$(printf '%-11s %5d s  %s' "$name" $((SECONDS - start)) "$verdict")")
}

run_stage tests tests_stage "$@"
if [ "$quick" != 1 ]; then
    run_stage sanitizers sanitizers_stage "$@"
    run_stage fuzz fuzz_stage
    run_stage clang-tidy tidy_stage
fi
echo "==== summary"
printf '%s\n' "${summary[@]}"
exit "$failed"
