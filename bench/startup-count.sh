#!/bin/bash
# Start-up of the real program with many recordings against an empty
# recordings directory, with a warm and with a dropped page cache.
#
#   sudo bench/startup-count.sh <corvalet> [<corvalet> ...]
#
# For each program given (e.g. the build of this commit and one of an older
# commit), inside the private mount namespace of tests/sandbox.sh and on a
# private Xvfb, it starts "corvalet loopN add" as the device hook does and
# times it from just before the start to the MapNotify of its window
# (bench/startup.py's run_tool), then ends it with SIGTERM, which unmounts the
# drive. Four cases, rotated within every round:
#   empty/warm   mp4_save_path points at an empty recordings directory
#   empty/cold   the same right after "echo 3 > /proc/sys/vm/drop_caches"
#   many/warm    96,000 recordings of 1 KB (16 channels x 60 folders x 100,
#                bench/make-recordings.py), their modification times spread
#                over the last 60 days (one every 14.4 minutes a camera, so
#                the count's index has a ten-minute stretch for nearly every
#                recording); read by du once before the run
#   many/cold    the same right after dropping the page cache
# Prints the median of each case and the ratio of many to empty at the same
# cache state, per program. Dropping the page cache affects the whole machine.
#
# Environment: RUNS (rounds, default 5), BENCH_TMPDIR (where the tree and the
# drive image go; default /var/tmp, which unlike /tmp is never a tmpfs),
# BENCH_DATA (keep the tree there for later runs).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-5}
mount_point=/media/zozadoz/usb_backup

if [ "${1:-}" = --inner ]; then
    shift
    work=$1 data=$2
    shift 2
    loop='' xvfb=''
    trap '[ -z "$xvfb" ] || kill "$xvfb"; [ -z "$loop" ] || losetup -d "$loop"' EXIT
    truncate -s 64M "$work/drive.img"
    mkfs.ext4 -q -F "$work/drive.img"
    loop=$(losetup --find --show "$work/drive.img")
    mkdir -p "$work/fakes" "$mount_point"
    printf '#!/bin/sh\nexit 0\n' >"$work/fakes/xset"
    chmod +x "$work/fakes/xset"
    export PATH="$work/fakes:$PATH"
    Xvfb -displayfd 3 -nolisten tcp -screen 0 800x600x24 3>"$work/display" 2>/dev/null &
    xvfb=$!
    for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
    DISPLAY=":$(cat "$work/display")"
    export DISPLAY
    mkdir -p "$work/empty/record"
    for ((round = 0; round < runs; round++)); do
        for program in "$@"; do
            cases="empty/warm many/warm empty/cold many/cold"
            # Each case takes a different place in every round.
            for ((r = 0; r < round % 4; r++)); do cases="${cases#* } ${cases%% *}"; done
            for case in $cases; do
                tree=$work/empty
                [ "${case%/*}" = many ] && tree=$data
                printf 'mp4_save_path=%s\n' "$tree" >/etc/zlmedia/config.ini
                sync
                if [ "${case#*/}" = cold ]; then
                    echo 3 >/proc/sys/vm/drop_caches
                else
                    du -sbL "$tree/record" >/dev/null
                fi
                ms=$(/usr/bin/python3 - "$root/bench" "$program" "${loop#/dev/}" "$work/tool.log" <<'PY'
import sys
sys.path.insert(0, sys.argv[1])
import startup
from Xlib import X, display
startup.display_ = display.Display()
startup.display_.screen().root.change_attributes(event_mask=X.SubstructureNotifyMask)
startup.display_.sync()
print('%.1f' % startup.run_tool(sys.argv[2], sys.argv[3], sys.argv[4]))
PY
                )
                if findmnt -n "$mount_point" >/dev/null; then
                    echo "startup-count: the tool left the drive mounted; see $work/tool.log" >&2
                    exit 1
                fi
                echo "$program $case $ms" >>"$work/results"
            done
        done
    done
    mounted=$(grep -c '设备挂载成功' "$work/tool.log")
    if [ "$mounted" -ne $((runs * 4 * $#)) ]; then
        echo "startup-count: the drive was mounted in $mounted of $((runs * 4 * $#)) runs" >&2
        exit 1
    fi
    exit 0
fi

[ "$(id -u)" -eq 0 ] || { echo "startup-count: needs root" >&2; exit 1; }
[ $# -ge 1 ] || { sed -n '2,/^set /p' "$0" | sed '$d'; exit 2; }
for program in "$@"; do [ -x "$program" ] || { echo "startup-count: $program is no program" >&2; exit 1; }; done
if ! command -v Xvfb >/dev/null || ! /usr/bin/python3 -c 'import Xlib'; then
    echo "startup-count: needs Xvfb and python3-xlib" >&2
    exit 1
fi

work=$(mktemp -d -p "${BENCH_TMPDIR:-/var/tmp}" corvalet-startup.XXXXXX)
trap 'rm -rf "$work"' EXIT
data=${BENCH_DATA:-$work/data}
shape="16x60x100 1024B 60d"
if [ "$(cat "$data/shape" 2>/dev/null)" != "$shape" ]; then
    echo "== generating 96,000 recordings in $data"
    rm -rf "$data"
    /usr/bin/python3 "$root/bench/make-recordings.py" "$data" 16 60 100 1024 60
    sync
fi
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
"$root/tests/sandbox.sh" "$0" --inner "$work" "$data" "$@"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
printf '| %-40s | %10s | %10s | %10s | %10s | %10s | %10s |\n' program "empty warm" "many warm" ratio \
    "empty cold" "many cold" ratio
for program in "$@"; do
    declare -A m=()
    for case in empty/warm many/warm empty/cold many/cold; do
        m[$case]=$(awk -v p="$program" -v c="$case" '$1 == p && $2 == c { print $3 }' "$work/results" | median)
    done
    awk -v p="$program" -v ew="${m[empty/warm]}" -v mw="${m[many/warm]}" -v ec="${m[empty/cold]}" \
        -v mc="${m[many/cold]}" 'BEGIN {
        printf "| %-40s | %7.1f ms | %7.1f ms | %10.2f | %7.1f ms | %7.1f ms | %10.2f |\n", p, ew, mw, mw / ew, ec, mc, mc / ec }'
done
echo "Medians of $runs runs per case; every run's time is in the columns program, case, ms:"
sed 's/^/    /' "$work/results"
