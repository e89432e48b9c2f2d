#!/bin/bash
# Runs every benchmark of the tool and prints one table of ratios, each figure
# measured side by side with its reference in the same run.
#
#   sudo bench/run-all.sh [build-dir]
#
# Builds the benchmarks (in build-bench/ unless a build directory is given),
# generates two recordings trees on the disk, then, inside the private mount
# namespace of tests/sandbox.sh, exports them to fresh ext4 drives on a loop
# device (a new image and a new file system for every single run):
#   small  16 channels x 30 days x 96 recordings of 1 to 4 KB (46,080 files)
#   large  200 recordings of 10 MiB (about 2 GiB)
# For each tree and each round it runs, in a rotating order:
#   tool     bench_export: the window in a process of its own, "add" event,
#            click on 开始复制, clock stopped at the flushed success; then a
#            second export to the same drive, which has nothing left to copy
#   rsync    rsync -a --exclude=.* <tree>/ <drive>/rec01 && sync -f <drive>/rec01,
#            twice, as the same first and second export
#   verbose  the tool's own rsync command line (-av --progress) with its output
#            sent to /dev/null, then the same flush: what the tool adds by
#            reading that output
#   cp       cp -a <tree> <drive>/rec01 && sync -f <drive>/rec01, the floor
# Then the real program, "corvalet loopN add" as the device hook starts it, on
# both trees (bench/real_export.py: its CPU and peak resident size from /proc).
# Before every run the tree is read once more (warm page cache for both sides)
# and the machine's dirty data is written out. Then it times the start-up of
# the real program under Xvfb against a bare mount and unmount, the size count
# against du -sbL.
#
# Takes about 10 minutes on 2 cores; needs root, rsync, e2fsprogs, Xvfb,
# python3-xlib and xdotool (without Xvfb and python3-xlib the start-up figure
# is left out, without Xvfb and xdotool the real program's figures), about
# 2 GiB for the trees and 3 GiB for a drive image in BENCH_TMPDIR.
#
# Environment:
#   RUNS           rounds of every export (default 5); medians are printed
#   STARTUP_RUNS   rounds of the start-up comparison (default 7)
#   REAL_RUNS      rounds of the real program's exports (default 3)
#   DU_RUNS        rounds of the size count comparison (default 9)
#   LARGE_FILES, LARGE_FILE_MIB   shape of the large tree (200 and 10)
#   BENCH_TMPDIR   where the trees and the drive images go (default /var/tmp,
#                  which unlike /tmp is never a tmpfs)
#   BENCH_DRIVE_DIR  where the drive images go instead (default BENCH_TMPDIR);
#                  /dev/shm takes the disk, and the other programs that share
#                  it, out of the comparison, leaving what the programs cost
#   BENCH_DATA     a directory that keeps the generated trees for later runs
#                  (default: generated in a temporary directory, then removed)
#   BENCH_LOG      a file that keeps the log of the tool and the references
#   BENCH_KEEP=1   keep the results (one file of values per figure) and the
#                  logs in the work directory, whose name is printed
#   DROP_CACHES=1  start every run with a cold page cache instead of a warm
#                  one (drops the whole machine's caches)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
self=$root/bench/run-all.sh

runs=${RUNS:-5}
startup_runs=${STARTUP_RUNS:-7}
real_runs=${REAL_RUNS:-3}
du_runs=${DU_RUNS:-9}
large_files=${LARGE_FILES:-200}
large_file_mib=${LARGE_FILE_MIB:-10}
mount_point=/media/zozadoz/usb_backup
hostname_dir=rec01   # what tests/sandbox.sh puts in /etc/hostname

# The median of the numbers in a file, one a line.
median() { sort -g "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
value() { awk -v k="$1" '$1 == k { print $2 }' <<<"$2"; }
now_ms() { local t=${EPOCHREALTIME/./}; awk -v t="$t" 'BEGIN { printf "%.1f", t / 1000 }'; }

# ---------------------------------------------------------------------------
# Inside the sandbox: the drives, the runs and the table.
# ---------------------------------------------------------------------------
inner() {
    local build=$1 work=$2 data=$3 image=$4
    local bin=$build/bench
    local log=$work/bench.log
    # Globals, for the exit trap that runs after this function has returned.
    loop=''
    xvfb_pid=''
    local results=$work/results
    mkdir -p "$results"

    # shellcheck disable=SC2317  # run by the trap
    cleanup_inner() {
        if [ -n "$loop" ]; then
            # An interrupted export may leave a copy running on the drive (rsync
            # runs in a process group of its own, out of reach of Ctrl-C); the
            # drive is private to this namespace, so whatever uses it is ours.
            if findmnt -n "$mount_point" >/dev/null 2>&1; then
                if command -v fuser >/dev/null; then
                    fuser -k -m "$mount_point" >/dev/null 2>&1
                    sleep 0.5
                fi
                umount "$mount_point" 2>/dev/null || umount -l "$mount_point" 2>/dev/null
            fi
            # Detaches now, or as soon as the drive is no longer in use.
            losetup -d "$loop" 2>/dev/null
        fi
        [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null
        return 0
    }
    trap cleanup_inner EXIT
    trap 'exit 130' INT TERM

    fail() {
        echo "run-all: $*" >&2
        echo "--- last lines of $log:" >&2
        tail -n 30 "$log" >&2 || true
        exit 1
    }

    # A new sparse image with a new ext4 file system on a loop device, its
    # inode tables and journal written now rather than by the kernel in the
    # background while a copy runs.
    fresh_drive() {
        local size_mib=$1
        if [ -n "$loop" ]; then
            losetup -d "$loop"
            loop=''
        fi
        rm -f "$image"
        truncate -s "${size_mib}M" "$image"
        mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0,nodiscard "$image" >>"$log" 2>&1
        loop=$(losetup --find --show "$image")
    }

    # Equal footing for every run: the tree in the page cache (or nothing in
    # it with DROP_CACHES=1) and no dirty data of the run before left to write.
    settle() {
        local tree=$1
        if [ "${DROP_CACHES:-0}" = 1 ]; then
            sync
            echo 3 >/proc/sys/vm/drop_caches
        else
            find "$tree" -type f -print0 | xargs -0 cat >/dev/null
            sync
        fi
        sleep 0.5
    }

    # Points the tool at a tree: the recordings are <tree>/record, the alarm
    # database <tree>/alarms.db.
    configure_tool() {
        local tree=$1
        printf 'mp4_save_path=%s\n' "$tree" >/etc/zlmedia/config.ini
        printf '[System]\nDBPath=%s\n' "$tree/alarms.db" >/etc/orveld/monitor.ini
    }

    record() { echo "$2" >>"$results/$1"; }

    run_tool() {
        local name=$1 tree=$2 size=$3 out
        fresh_drive "$size"
        configure_tool "$tree"
        settle "$tree/record"
        out=$(QT_QPA_PLATFORM=$platform "$bin/bench_export" "${loop#/dev/}" --second 2>>"$log") || fail "bench_export failed on the $name tree"
        record "$name.tool.first" "$(value export1_ms "$out")"
        record "$name.tool.second" "$(value export2_ms "$out")"
        record "$name.tool.flush" "$(value export1_flush_ms "$out")"
        record "$name.tool.self_cpu" "$(value export1_self_cpu_ms "$out")"
        record "$name.tool.child_cpu" "$(value export1_child_cpu_ms "$out")"
        record "$name.tool.progress" "$(value export1_progress "$out")"
        record "$name.tool.maxrss" "$(value maxrss_kib "$out")"
        record "$name.tool.updates" "$(value export1_updates "$out")"
        record "$name.tool.updates_max" "$(value export1_updates_max_per_s "$out")"
        record "$name.tool.updates_avg" "$(value export1_updates_avg_per_s "$out")"
        record "$name.tool.repaints" "$(value export1_repaints "$out")"
    }

    # The real program as the device hook starts it ("corvalet loopN add", its
    # own start-up settings) on the Xvfb, driven with xdotool; its CPU, its
    # children's and its peak resident size read from /proc.
    run_real() {
        local name=$1 tree=$2 size=$3 out
        fresh_drive "$size"
        configure_tool "$tree"
        settle "$tree/record"
        out=$(PATH="$work/fakes:$PATH" /usr/bin/python3 "$root/bench/real_export.py" "$build/corvalet" \
            "${loop#/dev/}" "$work/real.log") || { cat "$work/real.log" >>"$log"; fail "the real program's export failed on the $name tree"; }
        cat "$work/real.log" >>"$log"
        record "$name.real.wall" "$(value wall_ms "$out")"
        record "$name.real.self_cpu" "$(value self_cpu_ms "$out")"
        record "$name.real.child_cpu" "$(value child_cpu_ms "$out")"
        record "$name.real.hwm" "$(value vmhwm_kib "$out")"
    }

    # The references, run by sh with the tree as $1 and the target as $2.
    # shellcheck disable=SC2016
    local rsync_command='rsync -a --exclude=".*" "$1/" "$2" && sync -f "$2"'
    # The tool's own command line with its output thrown away: what is left
    # between it and the tool is the tool's reading of that output.
    # shellcheck disable=SC2016
    local verbose_command='rsync -av --progress --exclude=".*" "$1/" "$2" >/dev/null && sync -f "$2"'
    # shellcheck disable=SC2016
    local cp_command='cp -a "$1" "$2" && sync -f "$2"'

    run_reference() {
        local name=$1 tree=$2 size=$3 kind=$4 out
        fresh_drive "$size"
        settle "$tree/record"
        mount "$loop" "$mount_point"
        case $kind in
        rsync)
            for n in first second; do
                out=$("$bin/bench_command" sh -c "$rsync_command" sh "$tree/record" "$mount_point/$hostname_dir" \
                    2>>"$log") || fail "rsync failed on the $name tree"
                record "$name.rsync.$n" "$(value wall_ms "$out")"
                if [ $n = first ]; then
                    record "$name.rsync.cpu" "$(value cpu_ms "$out")"
                    record "$name.rsync.maxrss" "$(value maxrss_kib "$out")"
                fi
            done
            ;;
        verbose)
            out=$("$bin/bench_command" sh -c "$verbose_command" sh "$tree/record" "$mount_point/$hostname_dir" \
                2>>"$log") || fail "rsync -av --progress failed on the $name tree"
            record "$name.verbose.first" "$(value wall_ms "$out")"
            record "$name.verbose.cpu" "$(value cpu_ms "$out")"
            ;;
        cp)
            out=$("$bin/bench_command" sh -c "$cp_command" sh "$tree/record" "$mount_point/$hostname_dir" \
                2>>"$log") || fail "cp failed on the $name tree"
            record "$name.cp.first" "$(value wall_ms "$out")"
            ;;
        esac
        umount "$mount_point"
    }

    # The tool is an X11 program: it runs on a private Xvfb, as in the tests,
    # or on Qt's offscreen platform when there is none.
    local startup_note='' platform=offscreen real_note=''
    if ! command -v Xvfb >/dev/null; then
        startup_note='left out: Xvfb is not installed (Debian package xvfb)'
    else
        Xvfb -displayfd 3 -nolisten tcp -screen 0 800x600x24 3>"$work/display" >>"$log" 2>&1 &
        xvfb_pid=$!
        for _ in $(seq 100); do
            [ -s "$work/display" ] && break
            sleep 0.1
        done
        [ -s "$work/display" ] || fail "Xvfb did not start"
        DISPLAY=":$(cat "$work/display")"
        export DISPLAY
        platform=xcb
        if ! /usr/bin/python3 -c 'import Xlib' 2>/dev/null; then
            startup_note='left out: python3 cannot import Xlib (Debian package python3-xlib)'
        fi
        command -v xdotool >/dev/null || real_note='left out: xdotool is not installed'
    fi
    [ -n "$xvfb_pid" ] || real_note='left out: Xvfb is not installed (Debian package xvfb)'
    mkdir -p "$work/fakes"
    printf '#!/bin/sh\nexit 0\n' >"$work/fakes/xset"
    chmod +x "$work/fakes/xset"

    echo "== exports: $runs rounds, each run on a fresh drive (Qt platform $platform)"
    mkdir -p "$mount_point"
    local round name tree size order contender
    for ((round = 0; round < runs; round++)); do
        for name in small large; do
            tree=$data/$name
            size=$(cat "$data/$name.drive-mib")
            # Each contender takes every place in turn, round after round.
            case $((round % 4)) in
                0) order="tool rsync verbose cp" ;;
                1) order="rsync verbose cp tool" ;;
                2) order="verbose cp tool rsync" ;;
                3) order="cp tool rsync verbose" ;;
            esac
            for contender in $order; do
                local started
                started=$(now_ms)
                if [ "$contender" = tool ]; then
                    run_tool "$name" "$tree" "$size"
                else
                    run_reference "$name" "$tree" "$size" "$contender"
                fi
                printf '   round %d  %-5s  %-5s  %6.1f s\n' $((round + 1)) "$name" "$contender" \
                    "$(awk -v a="$started" -v b="$(now_ms)" 'BEGIN { print (b - a) / 1000 }')"
            done
        done
    done
    if [ -z "$real_note" ]; then
        echo "== the real program: $real_runs rounds"
        for ((round = 0; round < real_runs; round++)); do
            for name in small large; do
                local started
                started=$(now_ms)
                run_real "$name" "$data/$name" "$(cat "$data/$name.drive-mib")"
                printf '   round %d  %-5s  real   %6.1f s\n' $((round + 1)) "$name" \
                    "$(awk -v a="$started" -v b="$(now_ms)" 'BEGIN { print (b - a) / 1000 }')"
            done
        done
    fi
    if [ -n "$loop" ]; then
        losetup -d "$loop"
        loop=''
    fi
    rm -f "$image"

    # Start-up of the real program under the private Xvfb, on a fresh drive.
    if [ -z "$startup_note" ]; then
        echo "== start-up: $startup_runs rounds"
        fresh_drive "$(cat "$data/small.drive-mib")"
        configure_tool "$data/small"
        settle "$data/small/record"
        local out
        out=$(PATH="$work/fakes:$PATH" \
            /usr/bin/python3 "$root/bench/startup.py" "$build/corvalet" "${loop#/dev/}" "$mount_point" \
            "$startup_runs" "$work/startup.log") || { cat "$work/startup.log" >>"$log"; fail "the start-up benchmark failed"; }
        # shellcheck disable=SC2046
        printf '%s\n' $(awk '$1 == "tool_ms" { $1 = ""; print }' <<<"$out") >"$results/startup.tool"
        # shellcheck disable=SC2046
        printf '%s\n' $(awk '$1 == "reference_ms" { $1 = ""; print }' <<<"$out") >"$results/startup.reference"
        losetup -d "$loop"
        loop=''
        rm -f "$image"
    fi

    # The size count against du, on the warm small tree, alternating.
    echo "== size count: $du_runs rounds"
    local i start end
    for ((i = 0; i < du_runs; i++)); do
        record count.tool "$("$bin/bench_dirsize" "$data/small/record" 1 | awk '$1 == "median_ms" { print $2 }')"
        start=${EPOCHREALTIME/./}
        du -sbL "$data/small/record" >/dev/null
        end=${EPOCHREALTIME/./}
        record count.du "$(awk -v d=$((end - start)) 'BEGIN { printf "%.3f", d / 1000 }')"
    done

    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
        xvfb_pid=''
    fi

    print_table "$results" "$startup_note" "$real_note"
}

# One row: figure, tool median, reference median, ratio, goal. Values are read
# from result files (one value per line); a unit scale turns the stored unit
# into the printed one.
row() {
    local figure=$1 tool_file=$2 ref_file=$3 unit=$4 scale=$5 goal=$6
    local tool ref
    tool=$(median "$tool_file")
    ref=$(median "$ref_file")
    awk -v f="$figure" -v t="$tool" -v r="$ref" -v u="$unit" -v s="$scale" -v g="$goal" 'BEGIN {
        digits = u == "s" ? 2 : 1
        printf "| %-56s | %12s | %12s | %6.2f | %-7s |\n", f, sprintf("%.*f %s", digits, t * s, u),
            sprintf("%.*f %s", digits, r * s, u), (r > 0 ? t / r : 0), g
    }'
}

print_table() {
    local r=$1 startup_note=$2 real_note=$3
    # The CPU share compares the tool with the rsync it runs, per run.
    paste -d' ' "$r/small.tool.self_cpu" "$r/small.tool.child_cpu" | awk '{ print $1 / $2 }' >"$r/small.cpu_share"
    paste -d' ' "$r/large.tool.self_cpu" "$r/large.tool.child_cpu" | awk '{ print $1 / $2 }' >"$r/large.cpu_share"
    echo
    printf '| %-56s | %12s | %12s | %6s | %-7s |\n' figure tool reference ratio goal
    echo "|----------------------------------------------------------|-------------:|-------------:|-------:|---------|"
    row "export, small tree, vs rsync -a + sync -f" "$r/small.tool.first" "$r/small.rsync.first" s 0.001 "<= 1.00"
    row "export, large tree, vs rsync -a + sync -f" "$r/large.tool.first" "$r/large.rsync.first" s 0.001 "<= 1.00"
    row "export, small tree, vs rsync -av --progress >/dev/null" "$r/small.tool.first" "$r/small.verbose.first" s 0.001 "-"
    row "export, large tree, vs rsync -av --progress >/dev/null" "$r/large.tool.first" "$r/large.verbose.first" s 0.001 "-"
    row "export, small tree, vs cp -a + sync -f (floor)" "$r/small.tool.first" "$r/small.cp.first" s 0.001 "-"
    row "export, large tree, vs cp -a + sync -f (floor)" "$r/large.tool.first" "$r/large.cp.first" s 0.001 "-"
    row "second export, small tree, vs rsync -a again" "$r/small.tool.second" "$r/small.rsync.second" s 0.001 "-"
    row "second export, large tree, vs rsync -a again" "$r/large.tool.second" "$r/large.rsync.second" s 0.001 "-"
    row "size count, small tree, vs du -sbL" "$r/count.tool" "$r/count.du" ms 1 "-"
    if [ -z "$startup_note" ]; then
        row "start-up to window, drive ready, vs mount+umount" "$r/startup.tool" "$r/startup.reference" ms 1 "-"
    fi
    printf '| %-56s | %12s | %12s | %6.3f | %-7s |\n' "tool CPU vs its rsync's CPU, small export" \
        "$(median "$r/small.tool.self_cpu") ms" "$(median "$r/small.tool.child_cpu") ms" \
        "$(median "$r/small.cpu_share")" "<= 0.02"
    printf '| %-56s | %12s | %12s | %6.3f | %-7s |\n' "tool CPU vs its rsync's CPU, large export" \
        "$(median "$r/large.tool.self_cpu") ms" "$(median "$r/large.tool.child_cpu") ms" \
        "$(median "$r/large.cpu_share")" "<= 0.02"
    row "rsync -av --progress CPU vs rsync -a, small" "$r/small.verbose.cpu" "$r/small.rsync.cpu" ms 1 "-"
    row "rsync -av --progress CPU vs rsync -a, large" "$r/large.verbose.cpu" "$r/large.rsync.cpu" ms 1 "-"
    row "peak RSS, large export, vs rsync's largest" "$r/large.tool.maxrss" "$r/large.rsync.maxrss" MiB 0.0009765625 "-"
    if [ -z "$real_note" ]; then
        for name in small large; do
            paste -d' ' "$r/$name.real.self_cpu" "$r/$name.real.child_cpu" | awk '{ print $1 / $2 }' >"$r/$name.real.cpu_share"
            printf '| %-56s | %12s | %12s | %6.3f | %-7s |\n' "real program CPU vs its rsync's CPU, $name export" \
                "$(median "$r/$name.real.self_cpu") ms" "$(median "$r/$name.real.child_cpu") ms" \
                "$(median "$r/$name.real.cpu_share")" "<= 0.02"
        done
        row "real program export, large tree, vs rsync -a + sync -f" "$r/large.real.wall" "$r/large.rsync.first" s 0.001 "-"
        row "real program peak RSS (VmHWM), large, vs rsync's largest" "$r/large.real.hwm" "$r/large.rsync.maxrss" MiB 0.0009765625 "<= 40 MiB"
    fi
    for name in small large; do
        printf '| %-56s | %12s | %12s | %6s | %-7s |\n' "window updates per second, $name export, max (avg)" \
            "$(sort -g "$r/$name.tool.updates_max" | tail -n 1) /s" "$(median "$r/$name.tool.updates_avg") /s" "-" "<= 25"
    done
    echo
    echo "Medians of $runs exports per tree (fresh drive each), $startup_runs start-ups, $du_runs size counts."
    echo "Flush (sync -f) at the end of the tool's export (median): small $(median "$r/small.tool.flush") ms," \
        "large $(median "$r/large.tool.flush") ms."
    echo "Batches of rsync output per export (median): small $(median "$r/small.tool.progress"), large $(median "$r/large.tool.progress")."
    echo "Window updates per export (median): small $(median "$r/small.tool.updates"), large $(median "$r/large.tool.updates");" \
        "repaints of the bar and the progress line: small $(median "$r/small.tool.repaints"), large $(median "$r/large.tool.repaints")."
    echo "Window updates per second, every run's busiest second: small $(paste -sd' ' "$r/small.tool.updates_max"), large $(paste -sd' ' "$r/large.tool.updates_max")."
    if [ -z "$real_note" ]; then
        echo "Real program, peak RSS per large export (KiB): $(paste -sd' ' "$r/large.real.hwm");" \
            "small: $(paste -sd' ' "$r/small.real.hwm")."
    else
        echo "Real program figures $real_note."
    fi
    [ -n "$startup_note" ] && echo "Start-up figure $startup_note."
}

if [ "${1:-}" = --inner ]; then
    shift
    inner "$@"
    exit 0
fi

# ---------------------------------------------------------------------------
# Outside: build, generate the trees, run the inner part in the sandbox.
# ---------------------------------------------------------------------------
build=${1:-$root/build-bench}
if [ "$(id -u)" -ne 0 ]; then
    echo "run-all: needs root, to mount drives inside a private mount namespace" >&2
    exit 1
fi
for tool in rsync mkfs.ext4 losetup findmnt unshare; do
    command -v "$tool" >/dev/null || { echo "run-all: $tool is missing" >&2; exit 1; }
done

echo "== build ($build)"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target corvalet bench_export bench_command bench_dirsize >/dev/null

work=$(mktemp -d -p "${BENCH_TMPDIR:-/var/tmp}" corvalet-bench.XXXXXX)
drives=''
if [ -n "${BENCH_DRIVE_DIR:-}" ]; then
    drives=$(mktemp -d -p "$BENCH_DRIVE_DIR" corvalet-drives.XXXXXX)
    image=$drives/drive.img
else
    image=$work/drive.img
fi
cleanup() {
    local device
    if [ -n "${BENCH_LOG:-}" ]; then
        cat "$work/bench.log" "$work/startup.log" >"$BENCH_LOG" 2>/dev/null || true
    fi
    # The sandbox's mounts went with its namespace; what may be left are the
    # loop devices of an inner part that was killed.
    for device in $(losetup -j "$image" -O NAME -n 2>/dev/null); do
        losetup -d "$device" 2>/dev/null || true
    done
    [ -z "$drives" ] || rm -rf "$drives"
    if [ "${BENCH_KEEP:-0}" = 1 ]; then
        rm -rf "$work/data" "$image"
        echo "run-all: results and logs kept in $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -n "${BENCH_DATA:-}" ]; then
    data=$BENCH_DATA
else
    data=$work/data
fi
shape="small 16x30x96 1-4KB; large ${large_files}x${large_file_mib}MiB"
if [ "$(cat "$data/shape" 2>/dev/null)" != "$shape" ]; then
    echo "== generating the trees in $data"
    rm -rf "$data"
    mkdir -p "$data"
    # small: recordings of 1024 to 4096 bytes written by the shell itself (no
    # process per file), a hidden index per channel that an export leaves out,
    # and a 1 MiB alarm database.
    payload=$(head -c 4096 /dev/zero | tr '\0' x)
    k=0
    for channel in $(seq -w 1 16); do
        mkdir -p "$data/small/record/ch$channel"
        printf '%s' "$payload" >"$data/small/record/ch$channel/.index"
        for day in $(seq -w 1 30); do
            dir=$data/small/record/ch$channel/2024-06-$day
            mkdir "$dir"
            for file in $(seq -w 0 95); do
                printf '%s' "${payload:0:$((1024 + k * 389 % 3073))}" >"$dir/$file.mp4"
                k=$((k + 1))
            done
        done
    done
    head -c 1M /dev/urandom >"$data/small/alarms.db"
    # large: incompressible recordings over 10 channels.
    for ((i = 0; i < large_files; i++)); do
        dir=$data/large/record/ch$(printf %02d $((i % 10 + 1)))
        mkdir -p "$dir"
        head -c "${large_file_mib}M" /dev/urandom >"$dir/$(printf %03d "$i").mp4"
    done
    head -c 1M /dev/urandom >"$data/large/alarms.db"
    sync
    echo "$shape" >"$data/shape"
fi
# Drives: room for the tree with its file system overhead; the small one also
# needs more inodes than a default 512 MiB file system would have.
echo 1024 >"$data/small.drive-mib"
echo $((large_files * large_file_mib * 5 / 4 + 256)) >"$data/large.drive-mib"

echo "machine: $(nproc) cores, $(uname -r), $(rsync --version | head -n 1)"
echo "trees: small $(find "$data/small/record" -type f -not -name '.*' | wc -l) files $(du -sb "$data/small/record" | cut -f1) bytes," \
    "large $(find "$data/large/record" -type f | wc -l) files $(du -sb "$data/large/record" | cut -f1) bytes"
echo "drive images: $image, on $(df --output=fstype "$(dirname "$image")" | tail -n 1)"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
started=$SECONDS
"$root/tests/sandbox.sh" "$self" --inner "$build" "$work" "$data" "$image"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg); the run took $((SECONDS - started)) s"
