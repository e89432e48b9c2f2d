#!/bin/bash
# Compares the recordings size count with the system's own tool.
#
#   bench/dirsize.sh [build-dir]
#
# Builds bench_dirsize (in build-bench/ unless a build directory is given),
# generates a tree shaped like a recorder's recordings (16 channels x
# 30 days x 96 files of about 1 KB, 46,080 files) on the disk, warms it, then
# times directorySize() against "du -sbL" over the same tree, alternating the
# two for RUNS rounds (default 9), and prints both medians and, last, their
# ratio. The totals are checked against find(1) first.
#
# Environment: RUNS (rounds), BENCH_TMPDIR (where the tree goes; default
# /var/tmp, which unlike /tmp is never a tmpfs).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
runs=${RUNS:-9}

# Configured every time so that a build directory made before this benchmark
# existed learns about it.
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target bench_dirsize >/dev/null
bench=$build/bench/bench_dirsize

tmp=$(mktemp -d -p "${BENCH_TMPDIR:-/var/tmp}" corvalet-dirsize.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
tree=$tmp/record

# Files of 1000 to 1047 bytes written by the shell itself (no process per
# file), plus a hidden file per channel that the count must leave out.
payload=$(head -c 1100 /dev/zero | tr '\0' x)
for channel in $(seq -w 1 16); do
    mkdir -p "$tree/ch$channel"
    printf '%s' "$payload" >"$tree/ch$channel/.index"
    for day in $(seq -w 1 30); do
        dir=$tree/ch$channel/2024-06-$day
        mkdir "$dir"
        for file in $(seq -w 0 95); do
            printf '%s' "${payload:0:$((1000 + 10#$file % 48))}" >"$dir/$file.mp4"
        done
    done
done
sync

# Warm the inode and directory caches, and check the totals.
expected=$(find -L "$tree" -type f -not -path '*/.*' -printf '%s\n' | awk '{ s += $1 } END { print s }')
du -sbL "$tree" >/dev/null
got=$("$bench" "$tree" 1 | awk '$1 == "total" { print $2 }')
files=$(find "$tree" -type f -not -path '*/.*' | wc -l)
echo "tree: $tree, $files files, $expected bytes"
if [ "$got" != "$expected" ]; then
    echo "FAIL: directorySize() counted $got bytes, find counts $expected" >&2
    exit 1
fi

# du runs as a process, so it is timed from the shell; bench_dirsize times the
# count inside its process, leaving out the start of the program and of Qt.
count_times=()
du_times=()
for ((i = 0; i < runs; i++)); do
    count_times+=("$("$bench" "$tree" 1 | awk '$1 == "median_ms" { print $2 }')")
    start=${EPOCHREALTIME/./}
    du -sbL "$tree" >/dev/null
    end=${EPOCHREALTIME/./}
    du_times+=("$(awk -v d=$((end - start)) 'BEGIN { printf "%.3f", d / 1000 }')")
done

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
count_median=$(median "${count_times[@]}")
du_median=$(median "${du_times[@]}")
echo "directorySize(): median ${count_median} ms of $runs runs (${count_times[*]})"
echo "du -sbL:         median ${du_median} ms of $runs runs (${du_times[*]})"
awk -v a="$count_median" -v b="$du_median" 'BEGIN { printf "ratio %.2f\n", a / b }'
