#!/bin/bash
# Renders the window while it reads an export back from the stick and saves a
# screenshot: scripts/screenshot-verifying.sh [output.png]
#
# A whole export by the real program ("<loop device> add", 开始复制 pressed) on
# a virtual display, to a stick slow enough to be watched: 256 MiB in nbdkit's
# memory plugin behind its rate filter (2 MB/s for reads and for writes), under
# nbdfuse, on a loop device, ext4. The screenshot is taken a few seconds into
# the verification, once its speed and time left are shown; then the export
# runs to its end, the box is closed and the tool quits. Everything lives in
# the private mount namespace of tests/sandbox.sh; the loop device, the FUSE
# mount, nbdkit and the display go however the script ends.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
title="U盘导出视频工具"
rate_mb_s=2
snap_after_s=5

if [ "${1:-}" = --inside ]; then
    binary=$2 work=$3 out=$4
    log=$work/corvalet.log
    stick='' server='' xvfb='' tool=''
    # shellcheck disable=SC2317  # run by the trap
    cleanup_inside() {
        if [ -n "$tool" ] && kill -0 "$tool" 2>/dev/null; then
            kill "$tool" 2>/dev/null || true
            for _ in $(seq 100); do kill -0 "$tool" 2>/dev/null || break; sleep 0.1; done
            kill -KILL "$tool" 2>/dev/null || true
        fi
        umount /media/zozadoz/usb_backup 2>/dev/null || true
        [ -z "$stick" ] || losetup -d "$stick" 2>/dev/null || true
        if [ -n "$server" ]; then
            for _ in $(seq 20); do
                fusermount3 -u "$work/fuse" 2>/dev/null && break
                kill -0 "$server" 2>/dev/null || break
                sleep 0.1
            done
            for _ in $(seq 50); do kill -0 "$server" 2>/dev/null || break; sleep 0.1; done
            kill -KILL "$server" 2>/dev/null || true
        fi
        [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
        return 0
    }
    trap cleanup_inside EXIT
    trap 'exit 130' INT TERM
    fail() { echo "screenshot-verifying: $*" >&2; tail -n 20 "$log" >&2 2>/dev/null || true; exit 1; }
    wait_log() {  # wait_log TEXT SECONDS
        for _ in $(seq $(($2 * 10))); do grep -q "$1" "$log" && return 0; sleep 0.1; done
        fail "\"$1\" did not appear in the log"
    }
    press() {  # press WINDOW-TITLE KEY: there is no window manager to give the focus
        xdotool search --name "^$1\$" windowfocus --sync key "$2" >/dev/null 2>&1 || xdotool key "$2"
    }

    # The stick: nbdfuse runs nbdkit and writes its pid file once the file
    # can be used.
    mkdir -p "$work/fuse"
    nbdfuse -P "$work/nbdfuse.pid" "$work/fuse/stick" \
        [ nbdkit --exit-with-parent --filter=rate memory size=256M rate=$((rate_mb_s * 8000000)) burstiness=0.25 ] \
        >"$work/nbdfuse.log" 2>&1 &
    server=$!
    for _ in $(seq 100); do [ -s "$work/nbdfuse.pid" ] && break; sleep 0.1; done
    [ -s "$work/nbdfuse.pid" ] || fail "nbdfuse did not come up: $(cat "$work/nbdfuse.log")"
    stick=$(losetup --find --show --direct-io=on "$work/fuse/stick")
    echo "$stick $work/fuse/stick" >"$work/loop"
    mkfs.ext4 -q -F -L DEMO -E lazy_itable_init=0,lazy_journal_init=0 "$stick"

    # The recorder: 4 channels x 3 days x 6 clips an hour apart, about 25 MB,
    # and the alarm database.
    record=/media/zozadoz/record
    for channel in 01 02 03 04; do
        for ago in 2 1 0; do
            day=$(date -d "-$ago day" +%F)
            dir=$record/record/ch$channel/$day
            mkdir -p "$dir"
            for clip in 1 2 3 4 5 6; do
                head -c $((300000 + RANDOM * 4)) /dev/urandom >"$dir/0$clip-00-00.mp4"
                touch -d "$(date -d "-$ago day -$((7 - clip)) hour" '+%F %T')" "$dir/0$clip-00-00.mp4"
            done
        done
    done
    sqlite3 "$record/alarms.db" "CREATE TABLE alarms(id INTEGER PRIMARY KEY, at INTEGER, camera TEXT);
        INSERT INTO alarms(at, camera) VALUES (strftime('%s', 'now'), 'ch01'), (strftime('%s', 'now'), 'ch03');"
    printf '[General]\nmp4_save_path=%s\n' "$record" >/etc/zlmedia/config.ini
    printf '[System]\nDBPath=%s\n' "$record/alarms.db" >/etc/orveld/monitor.ini

    Xvfb -displayfd 3 -nolisten tcp -screen 0 800x480x24 3>"$work/display" >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
    [ -s "$work/display" ] || fail "Xvfb did not start"
    DISPLAY=":$(cat "$work/display")"
    export DISPLAY

    "$binary" "$(basename "$stick")" add >"$log" 2>&1 &
    tool=$!
    wait_log "设备挂载成功" 20
    wait_log "源目录:" 20
    sleep 1
    press "$title" Return             # the start button holds the focus once the drive is ready
    wait_log "U盘已只读重新挂载" 120
    sleep "$snap_after_s"
    grep -q "校验:" "$log" && fail "the verification ended before the screenshot; the stick is too fast"
    WIDTH=800 HEIGHT=480 X=0 Y=0
    eval "$(xdotool search --name "^$title\$" getwindowgeometry --shell | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
    import -display "$DISPLAY" -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out"
    wait_log "校验:" 120
    timeout 20 xdotool search --sync --name '^完成$' >/dev/null || fail "the box of the finished export did not open"
    sleep 0.5
    press 完成 Return                 # closes the "文件复制完成" box
    sleep 0.5
    press "$title" Escape             # leaves the tool: unmount and quit
    for _ in $(seq 300); do kill -0 "$tool" 2>/dev/null || break; sleep 0.1; done
    grep "校验:" "$log"
    exit 0
fi

out=$(realpath -m "${1:-verifying.png}")
build=${CORVALET_BUILD_DIR:-$root/build}
if [ "$(id -u)" -ne 0 ]; then
    echo "screenshot-verifying: mounts a stick: run it as root" >&2
    exit 1
fi
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target corvalet
work=$(mktemp -d /tmp/corvalet-verifying.XXXXXX)
cleanup() {
    local device file
    # The namespace's mounts went with it; a loop device of an inside run
    # that was killed may be left, and only one bound to this run's file.
    if [ -f "$work/loop" ]; then
        read -r device file <"$work/loop"
        [ "$(losetup -n -O BACK-FILE "$device" 2>/dev/null)" != "$file" ] || losetup -d "$device" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
"$root/tests/sandbox.sh" "$root/scripts/screenshot-verifying.sh" --inside "$build/corvalet" "$work" "$out"
echo "Saved $out"
