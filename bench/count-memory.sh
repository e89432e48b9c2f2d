#!/bin/bash
# Peak memory and duration of the recordings count of the real program, with
# no, 96,000 and 1,000,000 recordings, against du over the same tree.
#
#   sudo bench/count-memory.sh <corvalet> [<corvalet> ...]
#
# For each program given, inside the private mount namespace of
# tests/sandbox.sh and on a private Xvfb, it starts "corvalet loopN add" as
# the device hook does (a fresh ext4 drive on a loop device, no export
# directory on it yet), reads its standard error until the debug line
# "源目录:" that ends the count, and then reads VmHWM and VmRSS from
# /proc/<pid>/status twice: at once, and SETTLE seconds later, once the window
# has shown the sizes by camera and time. Then it ends the program with
# SIGTERM, which unmounts the drive. The count's duration is the time from just
# before the start to that line, so it holds the program's start-up too (the
# empty case is about that alone). The reference is "du -s --apparent-size"
# over the same recordings directory. Three trees (bench/make-recordings.py),
# modification times spread evenly over the days given:
#   empty    an empty recordings directory
#   96k      16 channels x 60 folders x 100 recordings of 1 KB, 60 days
#            (the tree of bench/startup-count.sh)
#   1M       16 channels x 625 folders x 100 recordings of 1 byte, 90 days
# Every run of the program and of du starts right after
# "echo 3 > /proc/sys/vm/drop_caches" (CACHE=warm: after the tree was read by
# du once instead), the cases rotating within every round. Prints the median
# per case and program: the count against du, and the peak resident size
# against the goal and against the empty case. Dropping the page cache affects
# the whole machine.
#
# Takes about 2 minutes per program with RUNS=3 on 2 cores, most of it the
# 1M tree read cold (one more to generate the trees); needs root, Xvfb,
# e2fsprogs, about 4.5 GB and 1.1 million inodes in BENCH_TMPDIR.
#
# Environment: RUNS (rounds, default 3), CACHE (cold or warm, default cold),
# SETTLE (seconds between the line and the second reading, default 1),
# CASES (default "empty 96k 1M"), BENCH_TMPDIR (where the trees and the
# drive image go; default /var/tmp, which unlike /tmp is never a tmpfs),
# BENCH_DATA (keep the trees there for later runs, one folder per tree:
# BENCH_DATA/many is the tree of bench/startup-count.sh's BENCH_DATA).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-3}
cache=${CACHE:-cold}
settle=${SETTLE:-1}
cases=${CASES:-empty 96k 1M}
mount_point=/media/zozadoz/usb_backup

tree_of() {
    case $1 in
        empty) echo empty ;;
        96k) echo many ;;
        1M) echo million ;;
        *) echo "count-memory: unknown case $1" >&2; exit 2 ;;
    esac
}

# Empties the page cache, or reads the tree into it.
prepare_cache() {
    sync
    if [ "$cache" = cold ]; then
        echo 3 >/proc/sys/vm/drop_caches
    else
        du -s --apparent-size "$1" >/dev/null
    fi
}

if [ "${1:-}" = --inner ]; then
    shift
    work=$1 data=$2
    shift 2
    loop='' xvfb=''
    # shellcheck disable=SC2317  # run by the trap
    cleanup_inner() {
        if [ -n "$loop" ]; then
            findmnt -n "$mount_point" >/dev/null 2>&1 && { umount "$mount_point" 2>/dev/null || umount -l "$mount_point"; }
            losetup -d "$loop" 2>/dev/null
        fi
        [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null
        return 0
    }
    trap cleanup_inner EXIT
    trap 'exit 130' INT TERM
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
    [ -s "$work/display" ] || { echo "count-memory: Xvfb did not start" >&2; exit 1; }
    DISPLAY=":$(cat "$work/display")"
    export DISPLAY
    for ((round = 0; round < runs; round++)); do
        order=$cases
        # Each case takes a different place in every round.
        n=$(wc -w <<<"$cases")
        for ((r = 0; r < round % n; r++)); do order="${order#* } ${order%% *}"; done
        for case in $order; do
            tree=$data/$(tree_of "$case")
            # du first or the program first, in turn.
            for what in $( ((round % 2)) && echo "du $*" || echo "$* du"); do
                printf 'mp4_save_path=%s\n' "$tree" >/etc/zlmedia/config.ini
                prepare_cache "$tree/record"
                if [ "$what" = du ]; then
                    start=${EPOCHREALTIME/./}
                    du -s --apparent-size "$tree/record" >/dev/null
                    end=${EPOCHREALTIME/./}
                    echo "du $case $(awk -v d=$((end - start)) 'BEGIN { printf "%.1f", d / 1000 }')" >>"$work/results"
                    continue
                fi
                line=$(/usr/bin/python3 - "$what" "${loop#/dev/}" "$work/tool.log" "$settle" <<'PY'
import os, select, signal, subprocess, sys, time

binary, device, log, settle = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])
MARK = '源目录:'.encode()


def status(pid):
    values = {}
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            key, _, rest = line.partition(':')
            if key in ('VmHWM', 'VmRSS'):
                values[key] = int(rest.split()[0])
    return values


with open(log, 'ab') as out:
    start = time.monotonic()
    process = subprocess.Popen([binary, device, 'add'], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               env=dict(os.environ, QT_QPA_PLATFORM='xcb'))
    fd = process.stdout.fileno()
    pending, counted, first, deadline = b'', None, None, start + 600
    while counted is None and time.monotonic() < deadline:
        if not select.select([fd], [], [], 1)[0]:
            continue
        chunk = os.read(fd, 65536)
        now = time.monotonic()
        if not chunk:
            break
        out.write(chunk)
        pending += chunk
        if MARK in pending:
            counted = now
            first = status(process.pid)
        pending = pending[-256:]
    if counted is not None:
        # The rest of the output goes on to the log meanwhile.
        until = time.monotonic() + settle
        while time.monotonic() < until:
            if select.select([fd], [], [], max(0.0, until - time.monotonic()))[0]:
                chunk = os.read(fd, 65536)
                if not chunk:
                    break
                out.write(chunk)
        later = status(process.pid)
    process.send_signal(signal.SIGTERM)
    try:
        rest, _ = process.communicate(timeout=30)
        out.write(rest)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        sys.exit('count-memory: the tool did not end on SIGTERM; see ' + log)
if counted is None:
    sys.exit('count-memory: no "源目录:" line; see ' + log)
if process.returncode != 0:
    sys.exit('count-memory: the tool ended with %d; see %s' % (process.returncode, log))
print('%.1f %d %d %d %d' % ((counted - start) * 1000, first['VmHWM'], first['VmRSS'],
                            later['VmHWM'], later['VmRSS']))
PY
                )
                if findmnt -n "$mount_point" >/dev/null; then
                    echo "count-memory: the tool left the drive mounted; see $work/tool.log" >&2
                    exit 1
                fi
                echo "$what $case $line" >>"$work/results"
            done
        done
    done
    mounted=$(grep -c '设备挂载成功' "$work/tool.log")
    expected=$((runs * $(wc -w <<<"$cases") * $#))
    if [ "$mounted" -ne "$expected" ]; then
        echo "count-memory: the drive was mounted in $mounted of $expected runs" >&2
        exit 1
    fi
    exit 0
fi

[ "$(id -u)" -eq 0 ] || { echo "count-memory: needs root" >&2; exit 1; }
[ $# -ge 1 ] || { sed -n '2,/^set /p' "$0" | sed '$d'; exit 2; }
for program in "$@"; do
    [ -x "$program" ] || { echo "count-memory: $program is no program" >&2; exit 1; }
    [ "$program" != du ] || { echo "count-memory: a program may not be named du" >&2; exit 1; }
done
command -v Xvfb >/dev/null || { echo "count-memory: needs Xvfb" >&2; exit 1; }
case $cache in cold | warm) ;; *) echo "count-memory: CACHE is cold or warm" >&2; exit 2 ;; esac
for case in $cases; do tree_of "$case" >/dev/null; done

work=$(mktemp -d -p "${BENCH_TMPDIR:-/var/tmp}" corvalet-count.XXXXXX)
data=${BENCH_DATA:-$work/data}
cleanup() {
    local device
    for device in $(losetup -j "$work/drive.img" -O NAME -n 2>/dev/null); do
        losetup -d "$device" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# One tree: the folder, its shape as bench/make-recordings.py writes it, and
# the arguments that make it.
generate() {
    local name=$1 shape=$2
    shift 2
    if [ "$(cat "$data/$name/shape" 2>/dev/null)" != "$shape" ]; then
        echo "== generating $data/$name ($shape)"
        rm -rf "${data:?}/$name"
        local started=$SECONDS
        /usr/bin/python3 "$root/bench/make-recordings.py" "$data/$name" "$@"
        sync
        echo "   $((SECONDS - started)) s"
    fi
}
mkdir -p "$data/empty/record"
for case in $cases; do
    case $case in
        96k) generate many "16x60x100 1024B 60d" 16 60 100 1024 60 ;;
        1M) generate million "16x625x100 1B 90d" 16 625 100 1 90 ;;
    esac
done

echo "machine: $(nproc) cores, $(uname -r); page cache $cache; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
started=$SECONDS
"$root/tests/sandbox.sh" "$0" --inner "$work" "$data" "$@"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg); the runs took $((SECONDS - started)) s"

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# The median of one column of a program's (or du's) runs of one case.
column() { awk -v p="$1" -v c="$2" -v k="$3" '$1 == p && $2 == c { print $k }' "$work/results" | median; }
files_of() {
    case $1 in
        empty) echo 0 ;;
        *) find "$data/$(tree_of "$1")/record" -type f | wc -l ;;
    esac
}
echo
printf '| %-44s | %-5s | %9s | %9s | %9s | %8s | %9s | %9s | %9s | %8s |\n' program case files count du \
    "count/du" "VmHWM" "VmRSS" "HWM-empty" "<=40MiB"
for program in "$@"; do
    empty_hwm=$(column "$program" empty 6)
    for case in $cases; do
        awk -v p="$program" -v c="$case" -v f="$(files_of "$case")" \
            -v t="$(column "$program" "$case" 3)" -v d="$(column du "$case" 3)" \
            -v h="$(column "$program" "$case" 6)" -v r="$(column "$program" "$case" 7)" -v e="${empty_hwm:-}" 'BEGIN {
            printf "| %-44s | %-5s | %9d | %6.0f ms | %6.0f ms | %8.2f | %5.1f MiB | %5.1f MiB | %5.1f MiB | %8s |\n",
                p, c, f, t, d, (d > 0 ? t / d : 0), h / 1024, r / 1024, (e == "" ? 0 : (h - e) / 1024),
                (h <= 40 * 1024 ? "yes" : "NO")
        }'
    done
done
echo
echo "Medians of $runs runs per case, page cache $cache before every run. count: from just before the"
echo "start to the \"源目录:\" line (start-up included); du: du -s --apparent-size of the same tree."
echo "VmHWM and VmRSS $settle s after that line; VmHWM at the line itself, per case (median):"
for program in "$@"; do
    for case in $cases; do
        awk -v p="$program" -v c="$case" -v h="$(column "$program" "$case" 4)" 'BEGIN { printf "    %s %s: %.1f MiB\n", p, c, h / 1024 }'
    done
done
echo "Every run (program, case, count ms, VmHWM and VmRSS KiB at the line, VmHWM and VmRSS KiB later; du, case, ms):"
sed 's/^/    /' "$work/results"
