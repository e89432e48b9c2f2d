#!/bin/bash
# What an export costs the recording: a steady writer on the recordings' disk
# (a stand-in for the recorder: 4 MiB blocks, each followed by fdatasync, to a
# file in the recordings' file system) alone, and during an export of a large
# tree to a loop drive with rsync at normal priority, at the tool's lowered
# priorities (nice 10, best-effort I/O level 7) and in the idle I/O class.
#
#   sudo bench/writer.sh
#
# Every export is the tool's rsync command line and flush,
#   rsync -av --progress --exclude=.* <tree>/ <drive>/rec01 >/dev/null && sync -f <drive>/rec01
# to a fresh ext4 drive, started with the page cache dropped (old recordings
# are not in memory), the writer running from the export's start to its end.
# Prints, per case, the medians of the writer's MB/s, of its 99th percentile
# and longest time for one block (write and fdatasync), and of the export's
# seconds.
# The drive image lives in /dev/shm by default, as a USB drive is another
# device than the recorder's disk: what the export then takes from the disk is
# the reading of the recordings. Dropping the page cache affects the machine.
#
# Environment: RUNS (rounds, default 3), TREE_FILES and TREE_FILE_MIB (shape
# of the tree, default 96 x 16 MiB = 1.5 GiB), BENCH_TMPDIR (the recordings'
# disk: the tree and the writer's file; default /var/tmp), BENCH_DRIVE_DIR
# (the drive image; default /dev/shm), WRITER_ALONE_S (how long the writer
# runs alone; default 8).
set -euo pipefail

runs=${RUNS:-3}
files=${TREE_FILES:-96}
file_mib=${TREE_FILE_MIB:-16}
alone_s=${WRITER_ALONE_S:-8}

[ "$(id -u)" -eq 0 ] || { echo "writer: needs root" >&2; exit 1; }
for tool in rsync mkfs.ext4 losetup ionice unshare; do
    command -v "$tool" >/dev/null || { echo "writer: $tool is missing" >&2; exit 1; }
done

# The inner part runs in a private mount namespace: the drive's mount goes
# with it however the run ends.
if [ "${1:-}" = --inner ]; then
    work=$2 image=$3
    loop=''
    writer_pid=''
    trap '[ -z "$writer_pid" ] || kill "$writer_pid" 2>/dev/null || true; umount "$work/mnt" 2>/dev/null || true; [ -z "$loop" ] || losetup -d "$loop"; rm -f "$image"' EXIT
    mkdir -p "$work/mnt"

    start_writer() {
        /usr/bin/python3 - "$work/writer.out" "$work/recording.bin" <<'PY' &
import os, signal, sys, time
block = os.urandom(4 << 20)
fd = os.open(sys.argv[2], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
stop = False
def end(*_):
    global stop
    stop = True
signal.signal(signal.SIGTERM, end)
written, start, latencies = 0, time.monotonic(), []
# Round and round a 256 MiB file: every block still goes to the disk, without
# filling it.
while not stop:
    before = time.monotonic()
    os.pwrite(fd, block, written % (256 << 20))
    os.fdatasync(fd)
    latencies.append(time.monotonic() - before)
    written += len(block)
elapsed = time.monotonic() - start
os.close(fd)
os.unlink(sys.argv[2])
latencies.sort()
with open(sys.argv[1], 'w') as out:
    out.write('%.1f %.2f %.2f\n' % (written / elapsed / 1e6, latencies[len(latencies) * 99 // 100] * 1000,
                                     latencies[-1] * 1000))
PY
        writer_pid=$!
    }
    # Leaves the writer's MB/s in writer_mbs (not run in a subshell, which
    # could not wait for the writer).
    stop_writer() {
        kill -TERM "$writer_pid"
        wait "$writer_pid"
        writer_pid=''
        read -r writer_mbs writer_p99 writer_max <"$work/writer.out"
        rm -f "$work/writer.out"
    }
    cold() {
        sync
        echo 3 >/proc/sys/vm/drop_caches
        sleep 1
    }

    size_mib=$((files * file_mib * 5 / 4 + 256))
    for ((round = 0; round < runs; round++)); do
        cases="alone normal lowered idle"
        for ((r = 0; r < round % 4; r++)); do cases="${cases#* } ${cases%% *}"; done
        for case in $cases; do
            cold
            if [ "$case" = alone ]; then
                start_writer
                sleep "$alone_s"
                stop_writer
                printf 'alone writer %s\nalone p99 %s\nalone max %s\n' "$writer_mbs" "$writer_p99" "$writer_max" \
                    >>"$work/results"
                continue
            fi
            rm -f "$image"
            truncate -s "${size_mib}M" "$image"
            mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0,nodiscard "$image"
            loop=$(losetup --find --show "$image")
            mount "$loop" "$work/mnt"
            case $case in
                normal) prefix=() ;;
                lowered) prefix=(nice -n 10 ionice -c 2 -n 7) ;;
                idle) prefix=(nice -n 10 ionice -c 3) ;;
            esac
            cold
            start_writer
            start=${EPOCHREALTIME/./}
            # shellcheck disable=SC2016  # run by sh with the paths as $1 and $2
            "${prefix[@]}" sh -c 'rsync -av --progress --exclude=".*" "$1/" "$2" >/dev/null && sync -f "$2"' sh \
                "$work/tree/record" "$work/mnt/rec01"
            end=${EPOCHREALTIME/./}
            stop_writer
            printf '%s writer %s\n%s p99 %s\n%s max %s\n' "$case" "$writer_mbs" "$case" "$writer_p99" "$case" \
                "$writer_max" >>"$work/results"
            echo "$case export $(awk -v d=$((end - start)) 'BEGIN { printf "%.2f", d / 1e6 }')" >>"$work/results"
            umount "$work/mnt"
            losetup -d "$loop"
            loop=''
            rm -f "$image"
        done
        echo "   round $((round + 1)) done" >&2
    done
    exit 0
fi

work=$(mktemp -d -p "${BENCH_TMPDIR:-/var/tmp}" corvalet-writer.XXXXXX)
drives=$(mktemp -d -p "${BENCH_DRIVE_DIR:-/dev/shm}" corvalet-drive.XXXXXX)
trap 'rm -rf "$work" "$drives"' EXIT
echo "== generating $files recordings of $file_mib MiB in $work/tree"
for ((i = 0; i < files; i++)); do
    dir=$work/tree/record/ch$(printf %02d $((i % 16 + 1)))
    mkdir -p "$dir"
    head -c "${file_mib}M" /dev/urandom >"$dir/$(printf %03d "$i").mp4"
done
sync
disk=$(df --output=source "$work" | tail -n 1)
echo "recordings' disk: $disk ($(cat "/sys/block/$(basename "$disk")/queue/scheduler" 2>/dev/null || echo '?'))," \
    "drive image in $(df --output=fstype "$drives" | tail -n 1)"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
unshare --mount --propagation private -- "$0" --inner "$work" "$drives/drive.img"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
get() { awk -v c="$1" -v k="$2" '$1 == c && $2 == k { print $3 }' "$work/results" | median; }
alone=$(get alone writer)
printf '| %-40s | %11s | %8s | %14s | %14s | %8s |\n' case "writer MB/s" "vs alone" "block p99 ms" "block max ms" \
    "export s"
for case in alone normal lowered idle; do
    case $case in
        alone) label="writer alone" ;;
        normal) label="export at normal priority" ;;
        lowered) label="export at nice 10, best-effort level 7" ;;
        idle) label="export at nice 10, idle I/O class" ;;
    esac
    export_s=-
    [ "$case" = alone ] || export_s=$(get $case export)
    printf '| %-40s | %11.1f | %8.2f | %14.1f | %14.1f | %8s |\n' "$label" "$(get $case writer)" \
        "$(awk -v a="$(get $case writer)" -v b="$alone" 'BEGIN { print a / b }')" "$(get $case p99)" \
        "$(get $case max)" "$export_s"
done
echo "Medians of $runs rounds; every value (case, what, value):"
sed 's/^/    /' "$work/results"
