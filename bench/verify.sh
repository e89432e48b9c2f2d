#!/bin/bash
# The export with its verification on a slow stick, by the real program as the
# device hook starts it, each figure against a reference on the same kind of
# stick in the same run.
#
#   sudo bench/verify.sh [build-dir]
#
# Inside the private mount namespace of tests/sandbox.sh:
#   stick        1 GiB in nbdkit's memory plugin behind its rate filter, 10 MB/s
#                for reads and 10 MB/s for writes (as tests/support's
#                SlowDrive builds it), under nbdfuse, attached to a loop device
#                with direct I/O, ext4 written out by mkfs; a new one for every
#                single run
#   recordings   a disk of their own: an ext4 image on a loop device without
#                direct I/O (so that dropping the caches drops the image's
#                pages too, and /proc/<pid>/io counts what is read from it),
#                mounted as the recorder's recordings directory, holding
#                FILES recordings of FILE_MIB MiB of random bytes and a 1 MiB
#                SQLite alarm database
# Every run starts with the whole machine's page cache dropped. In each round,
# in alternating order:
#   tool       "corvalet loopN add" on a private Xvfb, 开始复制 pressed by XTEST
#              (bench/verify_export.py): the phases from its log times, the
#              window's progress bar sampled every 100 ms, its CPU and I/O
#              counters from /proc and the devices' from sysfs
#   reference  on a fresh stick: the database and "rsync -a" of the
#              recordings, then "sync -f" (the stick's write time for the same
#              bytes); then unmount, drop the stick's block cache, mount it
#              read-only and cat every file to /dev/null (its read time)
# After each run of the tool the stick is mounted again and its SHA256SUMS
# checked with sha256sum -c --strict, so that a figure is never taken from an
# export that did not verify. bench_hash's EVP throughput turns the bytes
# hashed (twice the exported bytes: the recordings, then the stick) into the
# hashing's share of the tool's CPU.
#
# A script of its own rather than more of run-all.sh: every run here is
# cold, the stick is a rate-limited nbdkit drive rather than an image on the
# disk, the recordings need a disk of their own, and a run lasts as long as
# the stick takes, not the processor.
#
# Takes about 110 s a round (3 rounds: about 5.5 minutes); needs root, rsync,
# e2fsprogs, nbdkit and nbdfuse (Debian nbdkit, libnbd-bin), fuse3, Xvfb,
# python3-xlib, sqlite3, about 350 MiB in BENCH_TMPDIR and about 250 MiB of
# memory for the stick (one at a time). Drops the page cache of the whole machine.
#
# Environment:
#   RUNS           rounds (default 3, at least 2); medians and the spread
#   FILES, FILE_MIB   the recordings (20 and 10)
#   STICK_MB_S     the stick's rate in MB/s, reads and writes each (10)
#   BENCH_TMPDIR   where the recordings' image goes (default /var/tmp)
#   BENCH_KEEP=1   keep the per-run values and the logs in the work directory
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
self=$root/bench/verify.sh
runs=${RUNS:-3}
files=${FILES:-20}
file_mib=${FILE_MIB:-10}
stick_mb_s=${STICK_MB_S:-10}
mount_point=/media/zozadoz/usb_backup
recordings=/media/zozadoz/record   # what the tool is pointed at
hostname_dir=rec01                 # what tests/sandbox.sh puts in /etc/hostname

median() { sort -g "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
spread() { sort -g "$1" | awk -v f="${2:-%.2f}" 'NR == 1 { lo = $1 } { hi = $1 } END { printf f " to " f, lo, hi }'; }
value() { awk -v k="$1" '$1 == k { print $2 }' <<<"$2"; }
now_us() { echo "${EPOCHREALTIME/./}"; }

# ---------------------------------------------------------------------------
# Inside the sandbox.
# ---------------------------------------------------------------------------
inner() {
    local build=$1 work=$2 evp_mib_s=$3
    # An error of bash's own expansions (bad arithmetic) abandons the
    # command it is in and goes on with the next one at the top of the
    # script; this keeps that from running the outer half in here.
    inner_started=1
    local log=$work/bench.log
    local results=$work/results
    mkdir -p "$results"
    # Globals, for the exit trap.
    stick='' stick_server='' stick_dir='' disk='' xvfb_pid=''

    # shellcheck disable=SC2317  # run by the trap
    cleanup_inner() {
        if findmnt -n "$mount_point" >/dev/null 2>&1; then
            command -v fuser >/dev/null && fuser -k -m "$mount_point" >/dev/null 2>&1 && sleep 0.5
            umount "$mount_point" 2>/dev/null || umount -l "$mount_point" 2>/dev/null || true
        fi
        drop_stick 2>/dev/null || true
        if [ -n "$disk" ]; then
            umount "$recordings" 2>/dev/null || umount -l "$recordings" 2>/dev/null || true
            losetup -d "$disk" 2>/dev/null || true
        fi
        if [ -n "$xvfb_pid" ]; then
            kill "$xvfb_pid" 2>/dev/null || true
            wait "$xvfb_pid" 2>/dev/null || true
        fi
        return 0
    }
    trap cleanup_inner EXIT
    trap 'exit 130' INT TERM

    fail() {
        echo "verify: $*" >&2
        echo "--- last lines of $log:" >&2
        tail -n 30 "$log" >&2 || true
        exit 1
    }

    # Waits up to $2 tenths of a second for process $1 to end, then kills it.
    reap() {
        local pid=$1 tenths=$2
        for _ in $(seq "$tenths"); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null || true
    }

    # A new stick: nbdfuse runs nbdkit itself and writes its pid file once
    # the file can be used; nbdkit ends with it.
    local stick_count=0
    new_stick() {
        stick_count=$((stick_count + 1))
        stick_dir=$work/stick.$stick_count
        mkdir -p "$stick_dir/fuse"
        nbdfuse -P "$stick_dir/pid" "$stick_dir/fuse/stick" \
            [ nbdkit --exit-with-parent --filter=rate memory size=1024M \
              rate=$((stick_mb_s * 8000000)) burstiness=0.25 ] >>"$log" 2>&1 &
        stick_server=$!
        for _ in $(seq 100); do
            [ -s "$stick_dir/pid" ] && break
            kill -0 "$stick_server" 2>/dev/null || fail "nbdfuse ended"
            sleep 0.1
        done
        [ -s "$stick_dir/pid" ] || fail "nbdfuse did not come up"
        stick=$(losetup --find --show --direct-io=on "$stick_dir/fuse/stick")
        echo "$stick $stick_dir/fuse/stick" >>"$work/loops"
        # Inode tables and journal zeroed now (write-zeroes pass the rate
        # filter at once), not by the kernel while a copy runs.
        mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$stick" >>"$log" 2>&1 || fail "mkfs of the stick"
    }

    drop_stick() {
        if [ -n "$stick" ]; then
            losetup -d "$stick" 2>/dev/null || true
            stick=''
        fi
        if [ -n "$stick_server" ]; then
            # The loop device lets go of the file a moment after it is detached.
            for _ in $(seq 20); do
                fusermount3 -u "$stick_dir/fuse" 2>/dev/null && break
                kill -0 "$stick_server" 2>/dev/null || break
                sleep 0.1
            done
            reap "$stick_server" 50
            fusermount3 -u -z "$stick_dir/fuse" 2>/dev/null || true
            stick_server=''
        fi
    }

    settle() {
        sync
        echo 3 >/proc/sys/vm/drop_caches
        sleep 0.5
    }

    record() { echo "$2" >>"$results/$1"; }

    # The recordings' disk.
    truncate -s $((files * file_mib * 5 / 4 + 64))M "$work/recordings.img"
    mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$work/recordings.img" >>"$log" 2>&1
    disk=$(losetup --find --show --direct-io=off "$work/recordings.img")
    echo "$disk $work/recordings.img" >>"$work/loops"
    mkdir -p "$recordings"
    mount "$disk" "$recordings"
    local i
    for ((i = 0; i < files; i++)); do
        mkdir -p "$recordings/record/ch0$((i % 4 + 1))"
        head -c "${file_mib}M" /dev/urandom >"$recordings/record/ch0$((i % 4 + 1))/$(printf %03d "$i").mp4"
    done
    echo "index in progress" >"$recordings/record/.writing"
    sqlite3 "$recordings/alarms.db" "PRAGMA page_size=4096; CREATE TABLE alarms(id INTEGER PRIMARY KEY, at INTEGER, data BLOB);
        WITH RECURSIVE n(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM n WHERE k < 240)
        INSERT INTO alarms(at, data) SELECT k, randomblob(4000) FROM n;"
    printf 'mp4_save_path=%s\n' "$recordings" >/etc/zlmedia/config.ini
    printf '[System]\nDBPath=%s\n' "$recordings/alarms.db" >/etc/orveld/monitor.ini
    sync
    local disk_name=${disk#/dev/}
    local exported_ref
    exported_ref=$(($(find "$recordings/record" -type f -not -name '.*' -printf '%s\n' | awk '{ s += $1 } END { printf "%.0f", s }') \
        + $(stat -c %s "$recordings/alarms.db")))
    echo "recordings: $files x $file_mib MiB + alarms.db $(stat -c %s "$recordings/alarms.db") bytes on $disk (ext4, $(df --output=fstype /var/tmp | tail -n 1) below)"

    # The display, and an xset that returns at once.
    Xvfb -displayfd 3 -nolisten tcp -screen 0 800x600x24 3>"$work/display" >>"$log" 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [ -s "$work/display" ] && break
        sleep 0.1
    done
    [ -s "$work/display" ] || fail "Xvfb did not start"
    DISPLAY=":$(cat "$work/display")"
    export DISPLAY
    mkdir -p "$work/fakes"
    printf '#!/bin/sh\nexit 0\n' >"$work/fakes/xset"
    chmod +x "$work/fakes/xset"
    mkdir -p "$mount_point"

    run_tool() {
        local out key bytes sums
        new_stick
        settle
        out=$(PATH="$work/fakes:$PATH" VERIFY_SAMPLES="$work/samples.$stick_count" /usr/bin/python3 "$root/bench/verify_export.py" "$build/corvalet" \
            "${stick#/dev/}" "$disk_name" "$work/tool.log") || { cat "$work/tool.log" >>"$log"; fail "the tool's export failed"; }
        cat "$work/tool.log" >>"$log"
        echo "$out" >>"$log"
        grep '^thread ' <<<"$out" >"$results/threads.$stick_count"
        for key in copy_ms flush_ms remount_ms verify_ms record_ms total_ms copy_samples copy_at99_samples \
            copy_at99_ms copy_first99_ms verify_samples verify_zero_ms self_cpu_ms child_cpu_ms rsync_cpu_ms \
            copy_self_cpu_ms copy_main_cpu_ms main_cpu_ms threads_cpu_ms copy_threads_cpu_ms verify_threads_cpu_ms \
            both_threads_cpu_ms copy_max_fill read_bytes stick_read_bytes stick_written_bytes disk_read_bytes vmhwm_kib verified_files; do
            record "tool.$key" "$(value "$key" "$out")"
        done
        [ "$(value mismatched_files "$out")" = 0 ] || fail "the export did not verify"
        # What the export put on the stick, and its own proof of it.
        mount -o ro "$stick" "$mount_point"
        bytes=$(find "$mount_point/$hostname_dir" -type f -not -name SHA256SUMS -not -name '导出记录.txt' -printf '%s\n' \
            | awk '{ s += $1 } END { printf "%.0f", s }')
        sums=$(cd "$mount_point/$hostname_dir" && sha256sum -c --strict --quiet SHA256SUMS 2>&1 && echo ok) \
            || fail "sha256sum -c --strict SHA256SUMS failed on the stick: $sums"
        umount "$mount_point"
        record tool.exported_bytes "$bytes"
        drop_stick
        printf '  tool       copy %6.1f s (flush %5.1f s)  verify %6.1f s  at 99%%: %5.1f s  cpu %5.0f ms  rsync %5.0f ms  read %s B\n' \
            "$(awk -v v="$(value copy_ms "$out")" 'BEGIN { print v / 1000 }')" \
            "$(awk -v v="$(value flush_ms "$out")" 'BEGIN { print v / 1000 }')" \
            "$(awk -v v="$(value verify_ms "$out")" 'BEGIN { print v / 1000 }')" \
            "$(awk -v v="$(value copy_at99_ms "$out")" 'BEGIN { print v / 1000 }')" \
            "$(value self_cpu_ms "$out")" "$(value rsync_cpu_ms "$out")" "$(value read_bytes "$out")"
    }

    run_reference() {
        local t0 t1 t2 t3 read_before read_after
        new_stick
        settle
        mount "$stick" "$mount_point"
        read_before=$(awk '{ printf "%.0f", $3 * 512 }' "/sys/block/$disk_name/stat")
        t0=$(now_us)
        mkdir "$mount_point/$hostname_dir"
        cp "$recordings/alarms.db" "$mount_point/$hostname_dir/"
        rsync -a --exclude='.*' "$recordings/record/" "$mount_point/$hostname_dir/" >>"$log" 2>&1 || fail "rsync"
        sync -f "$mount_point/$hostname_dir"
        t1=$(now_us)
        read_after=$(awk '{ printf "%.0f", $3 * 512 }' "/sys/block/$disk_name/stat")
        umount "$mount_point"
        blockdev --flushbufs "$stick"
        mount -o ro "$stick" "$mount_point"
        t2=$(now_us)
        find "$mount_point/$hostname_dir" -type f -exec cat {} + >/dev/null
        t3=$(now_us)
        umount "$mount_point"
        drop_stick
        record ref.write_ms "$(awk -v d=$((t1 - t0)) 'BEGIN { printf "%.1f", d / 1000 }')"
        record ref.read_ms "$(awk -v d=$((t3 - t2)) 'BEGIN { printf "%.1f", d / 1000 }')"
        record ref.disk_read_bytes "$(awk -v a="$read_after" -v b="$read_before" 'BEGIN { printf "%.0f", a - b }')"
        printf '  reference  write %6.1f s  read %6.1f s\n' \
            "$(awk -v d=$((t1 - t0)) 'BEGIN { print d / 1e6 }')" "$(awk -v d=$((t3 - t2)) 'BEGIN { print d / 1e6 }')"
    }

    echo "== $runs rounds, cold page cache, stick at $stick_mb_s MB/s for reads and for writes"
    local round
    for ((round = 0; round < runs; round++)); do
        echo "round $((round + 1)) (load average $(cut -d' ' -f1 /proc/loadavg))"
        if ((round % 2 == 0)); then
            run_tool
            run_reference
        else
            run_reference
            run_tool
        fi
    done
    print_table "$results" "$evp_mib_s" "$exported_ref"
}

# Per run: the numerator file over the denominator file, line by line.
per_run() { paste -d' ' "$1" "$2" | awk -v s="${3:-1}" '{ print ($2 > 0 ? $1 / $2 * s : 0) }'; }

print_table() {
    local r=$1 evp=$2
    # Hashing: twice the exported bytes at EVP's throughput, in ms.
    awk -v evp="$evp" '{ printf "%.1f\n", 2 * $1 / (evp * 1048576) * 1000 }' "$r/tool.exported_bytes" >"$r/tool.hash_ms"
    paste -d' ' "$r/tool.self_cpu_ms" "$r/tool.hash_ms" | awk '{ printf "%.1f\n", $1 - $2 }' >"$r/tool.outside_ms"
    paste -d' ' "$r/tool.read_bytes" "$r/tool.stick_read_bytes" | awk '{ printf "%.0f\n", $1 - $2 }' >"$r/tool.recording_reads"
    per_run "$r/tool.copy_ms" "$r/ref.write_ms" >"$r/ratio.copy"
    per_run "$r/tool.verify_ms" "$r/ref.read_ms" >"$r/ratio.verify"
    per_run "$r/tool.copy_at99_samples" "$r/tool.copy_samples" >"$r/ratio.at99"
    per_run "$r/tool.recording_reads" "$r/tool.exported_bytes" >"$r/ratio.recording_reads"
    per_run "$r/tool.read_bytes" "$r/tool.exported_bytes" >"$r/ratio.read_bytes"
    per_run "$r/tool.disk_read_bytes" "$r/tool.exported_bytes" >"$r/ratio.disk_reads"
    per_run "$r/tool.stick_read_bytes" "$r/tool.exported_bytes" >"$r/ratio.stick_reads"
    per_run "$r/tool.outside_ms" "$r/tool.rsync_cpu_ms" >"$r/ratio.cpu"
    per_run "$r/tool.self_cpu_ms" "$r/tool.rsync_cpu_ms" >"$r/ratio.cpu_all"
    per_run "$r/tool.main_cpu_ms" "$r/tool.rsync_cpu_ms" >"$r/ratio.cpu_main"
    # One pass of hashing is half the estimate: the hasher's in the copy, the
    # reading back's in the verification.
    awk '{ printf "%.1f\n", $1 / 2 }' "$r/tool.hash_ms" >"$r/tool.pass_ms"
    per_run "$r/tool.copy_threads_cpu_ms" "$r/tool.pass_ms" >"$r/ratio.cpu_hasher"
    per_run "$r/tool.verify_threads_cpu_ms" "$r/tool.pass_ms" >"$r/ratio.cpu_reader"
    # The stick's own floor: the exported bytes at its rate.
    awk -v rate="$stick_mb_s" '{ printf "%.1f\n", $1 / (rate * 1000) }' "$r/tool.exported_bytes" >"$r/floor_ms"
    per_run "$r/tool.copy_ms" "$r/floor_ms" >"$r/ratio.copy_floor"
    per_run "$r/tool.verify_ms" "$r/floor_ms" >"$r/ratio.verify_floor"
    awk -v e="$3" '{ print $1 / e }' "$r/ref.disk_read_bytes" >"$r/ratio.ref_disk_reads"

    local row='| %-58s | %14s | %14s | %6s | %-13s | %-7s |\n'
    echo
    # shellcheck disable=SC2059
    printf "$row" figure tool reference ratio "ratio spread" goal
    echo "|------------------------------------------------------------|---------------:|---------------:|-------:|---------------|---------|"
    line() {  # line FIGURE TOOL-FILE REF-FILE RATIO-FILE UNIT SCALE GOAL
        local t r
        t=$(awk -v v="$(median "$2")" -v s="$6" -v u="$5" 'BEGIN { printf "%.2f %s", v * s, u }')
        r=$([ -n "$3" ] && awk -v v="$(median "$3")" -v s="$6" -v u="$5" 'BEGIN { printf "%.2f %s", v * s, u }' || echo -)
        # shellcheck disable=SC2059
        printf "$row" "$1" "$t" "$r" "$(printf %.3f "$(median "$4")")" "$(spread "$4" %.3f)" "$7"
    }
    line "copy phase (rsync to flush done) vs rsync -a + sync -f" "$r/tool.copy_ms" "$r/ref.write_ms" "$r/ratio.copy" s 0.001 "<= 1.10"
    line "copy phase vs the exported bytes at the stick's rate" "$r/tool.copy_ms" "$r/floor_ms" "$r/ratio.copy_floor" s 0.001 "-"
    line "share of the copy phase with the window at >= 99 %" "$r/tool.copy_at99_ms" "$r/tool.copy_ms" "$r/ratio.at99" s 0.001 "-"
    line "verification (remounted to 校验:) vs cat of the stick" "$r/tool.verify_ms" "$r/ref.read_ms" "$r/ratio.verify" s 0.001 "<= 1.15"
    line "verification vs the exported bytes at the stick's rate" "$r/tool.verify_ms" "$r/floor_ms" "$r/ratio.verify_floor" s 0.001 "-"
    line "recordings' disk: read_bytes less the stick's, per byte" "$r/tool.recording_reads" "$r/tool.exported_bytes" "$r/ratio.recording_reads" MB 0.000001 "<= 1.05"
    line "recordings' disk: its own sectors read, per byte" "$r/tool.disk_read_bytes" "$r/tool.exported_bytes" "$r/ratio.disk_reads" MB 0.000001 "-"
    line "read_bytes of the tool (stick included), per byte" "$r/tool.read_bytes" "$r/tool.exported_bytes" "$r/ratio.read_bytes" MB 0.000001 "-"
    line "the stick's sectors read, per byte" "$r/tool.stick_read_bytes" "$r/tool.exported_bytes" "$r/ratio.stick_reads" MB 0.000001 "-"
    line "tool CPU outside hashing vs its rsync's CPU" "$r/tool.outside_ms" "$r/tool.rsync_cpu_ms" "$r/ratio.cpu" ms 1 "<= 0.03"
    line "tool CPU with hashing vs its rsync's CPU" "$r/tool.self_cpu_ms" "$r/tool.rsync_cpu_ms" "$r/ratio.cpu_all" ms 1 "-"
    line "  of it the window's thread, vs rsync's CPU" "$r/tool.main_cpu_ms" "$r/tool.rsync_cpu_ms" "$r/ratio.cpu_main" ms 1 "-"
    line "  the copy's threads (hasher) vs one pass at EVP speed" "$r/tool.copy_threads_cpu_ms" "$r/tool.pass_ms" "$r/ratio.cpu_hasher" ms 1 "-"
    line "  the verification's threads vs one pass at EVP speed" "$r/tool.verify_threads_cpu_ms" "$r/tool.pass_ms" "$r/ratio.cpu_reader" ms 1 "-"
    echo
    echo "runs $(wc -l <"$r/tool.copy_ms")"
    echo "exported_bytes $(median "$r/tool.exported_bytes")"
    echo "verified_files $(median "$r/tool.verified_files")"
    echo "evp_mib_s $evp"
    echo "hash_ms_estimate $(median "$r/tool.hash_ms")"
    local key
    for key in copy_ms flush_ms remount_ms verify_ms record_ms total_ms copy_at99_ms copy_first99_ms verify_zero_ms \
        self_cpu_ms copy_self_cpu_ms copy_main_cpu_ms main_cpu_ms threads_cpu_ms copy_threads_cpu_ms verify_threads_cpu_ms \
        both_threads_cpu_ms copy_max_fill child_cpu_ms rsync_cpu_ms outside_ms read_bytes stick_read_bytes stick_written_bytes disk_read_bytes \
        vmhwm_kib; do
        echo "tool_$key $(median "$r/tool.$key") (runs: $(paste -sd' ' "$r/tool.$key"))"
    done
    for key in write_ms read_ms disk_read_bytes; do
        echo "reference_$key $(median "$r/ref.$key") (runs: $(paste -sd' ' "$r/ref.$key"))"
    done
    echo "reference_disk_reads_per_byte $(median "$r/ratio.ref_disk_reads")"
    echo "stick_floor_ms $(median "$r/floor_ms")"
    echo "window_at99_share $(median "$r/ratio.at99") (runs: $(paste -sd' ' "$r/ratio.at99"); samples every 100 ms)"
}

if [ "${1:-}" = --inner ]; then
    shift
    inner "$@"
    exit 0
fi
[ -z "${inner_started:-}" ] || exit 1

# ---------------------------------------------------------------------------
# Outside: build, hash throughput, the sandbox.
# ---------------------------------------------------------------------------
build=${1:-$root/build-bench}
if [ "$(id -u)" -ne 0 ]; then
    echo "verify: needs root, to mount drives inside a private mount namespace" >&2
    exit 1
fi
for tool in rsync mkfs.ext4 losetup findmnt unshare nbdkit nbdfuse fusermount3 Xvfb sqlite3 sha256sum blockdev; do
    command -v "$tool" >/dev/null || { echo "verify: $tool is missing" >&2; exit 1; }
done
/usr/bin/python3 -c 'import Xlib.ext.xtest' 2>/dev/null || { echo "verify: python3-xlib is missing" >&2; exit 1; }
[ "$runs" -ge 2 ] || { echo "verify: RUNS must be at least 2, for a spread" >&2; exit 1; }

echo "== build ($build)"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target corvalet bench_hash >/dev/null

work=$(mktemp -d -p "${BENCH_TMPDIR:-/var/tmp}" corvalet-verify.XXXXXX)
cleanup() {
    local device file
    # The sandbox's mounts went with its namespace; what may be left are the
    # loop devices of an inner half that was killed. Only those still bound
    # to the files this run made are detached.
    if [ -f "$work/loops" ]; then
        while read -r device file; do
            [ "$(losetup -n -O BACK-FILE "$device" 2>/dev/null)" != "$file" ] || losetup -d "$device" 2>/dev/null || true
        done <"$work/loops"
    fi
    if [ "${BENCH_KEEP:-0}" = 1 ]; then
        rm -f "$work/recordings.img"
        echo "verify: results and logs kept in $work"
    else
        rm -rf "$work"
    fi
    return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "machine: $(nproc) cores, $(uname -r), $(rsync --version | head -n 1), nbdkit $(nbdkit --version | cut -d' ' -f2)"
echo "== SHA-256 throughput (bench_hash 256 3)"
hash_out=$("$build/bench/bench_hash" 256 3)
# shellcheck disable=SC2086  # one value a line
printf '  %s\n' $hash_out | paste -d" " - -
evp=$(value evp_1mib_mib_s "$hash_out")
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
started=$SECONDS
"$root/tests/sandbox.sh" "$self" --inner "$build" "$work" "$evp"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg); the run took $((SECONDS - started)) s"
