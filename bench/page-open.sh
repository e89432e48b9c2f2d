#!/bin/bash
# How long the export's index.html takes to open and draw in headless
# Chromium, for 100 recordings and for 10,000, side by side; and what writing
# the page costs the tool at 100 and 96,000 recordings.
#
#   bench/page-open.sh [build-dir]
#
# Environment: RUNS (rounds), BENCH_PAGE (a bench_page already built).
#
# Builds bench_page (in build-bench/ unless a build directory is given),
# writes the pages into a temporary directory (the recordings themselves are
# not needed to draw the page) and opens each RUNS times (default 5) with a
# fresh profile. Two figures per page, medians:
#   ready: the page's own clock (performance.now()) when its load event has
#          run and its layout is done, as its script records it in the DOM;
#   shot:  the whole Chromium run that opens the page and writes a 1280x800
#          screenshot of it, start-up included, against the same run on an
#          empty page.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
runs=${RUNS:-5}

# BENCH_PAGE names an already built bench_page instead.
if [ -n "${BENCH_PAGE:-}" ]; then
    bench=$BENCH_PAGE
else
    cmake -S "$root" -B "$build" >/dev/null
    cmake --build "$build" -j"$(nproc)" --target bench_page >/dev/null
    bench=$build/bench/bench_page
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

chrome() {
    local profile
    profile=$(mktemp -d -p "$tmp")
    chromium --headless --no-sandbox --disable-gpu --disable-background-networking --disable-component-update \
        --disable-sync --no-first-run --user-data-dir="$profile" "$@" 2>/dev/null
    rm -rf "$profile"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

mkdir -p "$tmp/empty"
echo '<!DOCTYPE html><title>empty</title>' >"$tmp/empty/index.html"

shot_ms() {
    local start end
    start=$(date +%s%N)
    chrome --window-size=1280,800 --screenshot="$tmp/shot.png" "file://$1/index.html" >/dev/null
    end=$(date +%s%N)
    echo $(((end - start) / 1000000))
}

empty=$(for _ in $(seq "$runs"); do shot_ms "$tmp/empty"; done | median)
printf '%-12s %10s %12s %12s %14s\n' recordings "page (KB)" "ready (ms)" "shot (ms)" "shot-empty"
for n in 100 10000; do
    dir=$tmp/page$n
    mkdir -p "$dir"
    "$bench" "$dir" "$n" >/dev/null
    ready=$(for _ in $(seq "$runs"); do
        chrome --dump-dom "file://$dir/index.html" | grep -o 'data-ready-ms="[0-9]*"' | grep -o '[0-9]*'
    done | median)
    shot=$(for _ in $(seq "$runs"); do shot_ms "$dir"; done | median)
    printf '%-12s %10s %12s %12s %14s\n' "$n" "$(($(stat -c %s "$dir/index.html") / 1024))" "$ready" "$shot" \
        "$((shot - empty))"
done
echo "empty page: $empty ms for the whole Chromium run"
echo
echo "Writing the page (the tool's side):"
for n in 100 96000; do
    mkdir -p "$tmp/write$n"
    "$bench" "$tmp/write$n" "$n"
done
