#!/bin/bash
# The inside of scripts/demo.sh, run in the private mount namespace of
# tests/sandbox.sh: writes the recorder's configuration and recordings, starts
# the tool with "<loop device> add" and shows what landed on the drive. Fails
# when the tool's log (its standard error) holds a warning of Qt's own.
set -euo pipefail
binary=$1 loop=$2 work=$3
shift 3
virtual=no shots=""
while [ $# -gt 0 ]; do
    case $1 in
        --virtual) virtual=yes ;;
        --screenshots) shots=$(realpath -m "$2"); shift ;;
        *) echo "unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
title="U盘导出视频工具"
log=$work/corvalet.log

# The recorder: 4 channels × the last 3 days × 6 recordings of an hour each
# (written when its hour ended, as a recorder writes them), one of them
# missing, so that the record and the page show a gap; hidden files that are
# never exported, and the alarm database. The recordings are real H.264 MP4s
# (a test picture at one frame a second, about 1 MB an hour), so that the
# export's page plays them.
record=/media/zozadoz/record
sources=(testsrc testsrc2 smptebars rgbtestsrc)
for i in 0 1 2 3; do
    ffmpeg -v error -y -f lavfi -i "${sources[$i]}=size=128x96:rate=1" -t 3600 -c:v libx264 -preset veryfast \
        -crf 38 -g 600 -pix_fmt yuv420p "$work/clip$i.mp4"
done
for channel in 01 02 03 04; do
    for ago in 2 1 0; do
        day=$(date -d "-$ago day" +%F)
        dir=$record/record/ch$channel/$day
        mkdir -p "$dir"
        for clip in 1 2 3 4 5 6; do
            [ "$channel$ago$clip" = 0203 ] && continue   # the gap
            cp "$work/clip$((10#$channel - 1)).mp4" "$dir/0$clip-00-00.mp4"
            touch -d "$(date -d "-$ago day -$((7 - clip)) hour" '+%F %T')" "$dir/0$clip-00-00.mp4"
        done
    done
done
echo "index in progress" > "$record/record/.writing"
head -c 65536 /dev/urandom > "$record/alarms.db"
printf '[General]\nmp4_save_path=%s\n' "$record" > /etc/zlmedia/config.ini
# rsync slowed down a little so that the progress can be watched; more for
# screenshots, so that the copying state is caught with the speed and the time
# left already measured (the progress line needs a few seconds of samples).
bwlimit=3000
[ -z "$shots" ] || bwlimit=1000
cat > /etc/orveld/rsync-demo <<SCRIPT
#!/bin/sh
exec /usr/bin/rsync --bwlimit=$bwlimit "\$@"
SCRIPT
chmod +x /etc/orveld/rsync-demo
printf '[System]\nRsyncPath=/etc/orveld/rsync-demo\n' > /etc/orveld/monitor.ini
# The recorder's signing key, as the package's postinst creates it.
(umask 077 && openssl genpkey -algorithm ed25519 -out /etc/orveld/export_signing_key)
echo "Signing key: $("$binary" fingerprint)"
echo "Recorder rec01: $(find $record/record -name '*.mp4' | wc -l) recordings, $(du -sh $record/record | cut -f1)"

display_ok() { xset q >/dev/null 2>&1; }
if [ $virtual = no ] && [ -n "${DISPLAY:-}" ] && display_ok; then
    echo "Showing the tool on $DISPLAY: press 开始复制, wait for 复制完成, then 退出."
    "$binary" "$(basename "$loop")" add 2>&1 | tee "$log"
else
    export DISPLAY=:97
    Xvfb $DISPLAY -screen 0 800x480x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    trap 'kill $xvfb 2>/dev/null || true' EXIT
    for _ in $(seq 50); do display_ok && break; sleep 0.1; done

    snap() {  # snap NAME: the window's area of the screen, with any box open on it
        local WIDTH=800 HEIGHT=480 X=0 Y=0
        eval "$(xdotool search --name "^$title\$" getwindowgeometry --shell 2>/dev/null | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
        import -display $DISPLAY -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$work/$1.png"
        [ -z "$shots" ] || { mkdir -p "$shots"; cp "$work/$1.png" "$shots/$1.png"; }
        cp "$work/$1.png" ./corvalet-demo.png
    }
    wait_log() {  # wait_log TEXT SECONDS
        for _ in $(seq $(($2 * 10))); do grep -q "$1" "$log" && return 0; sleep 0.1; done
        echo "demo: \"$1\" did not appear" >&2; return 1
    }
    press() {  # press WINDOW-TITLE KEY: there is no window manager to give the focus
        xdotool search --name "^$1\$" windowfocus --sync key "$2" >/dev/null 2>&1 || xdotool key "$2"
    }

    "$binary" "$(basename "$loop")" add >"$log" 2>&1 &
    tool=$!
    wait_log "Device event" 20
    sleep 1
    snap ready
    if [ -n "$shots" ]; then
        # The span's list open, with the size of each choice: the focus goes
        # back past the cameras to the span, and comes again to 开始复制.
        press "$title" shift+Tab
        press "$title" shift+Tab
        press "$title" alt+Down
        sleep 0.5
        snap choice
        xdotool key Escape
        sleep 0.3
        press "$title" Tab
        press "$title" Tab
    fi
    echo "Virtual display: pressing 开始复制"
    press "$title" Return             # the start button holds the focus once the drive is ready
    wait_log "开始同步" 20
    if [ -n "$shots" ]; then sleep 6; else sleep 2; fi
    snap copying
    # The box comes once the stick has been read back and its record written.
    wait_log "校验:\|同步进程失败\|同步进程崩溃\|重新挂载失败" 300
    timeout 20 xdotool search --sync --name '^完成$' >/dev/null 2>&1 || true
    sleep 1
    snap finished-box
    press 完成 Return                 # closes the "文件复制完成" box
    sleep 0.5
    snap finished
    press "$title" Escape             # leaves the tool: unmount and quit
    wait "$tool" || true
    cat "$log"
fi

echo
echo "What the drive holds now:"
mkdir -p "$work/check"
mount -o ro "$loop" "$work/check"
(cd "$work/check" && find . -maxdepth 3 | sort | head -40 && du -sh rec01 2>/dev/null)
# The export's own proof lies beside the recordings: the manifest, its
# signature, the record, the list and the page.
own=(--exclude='.*' --exclude=alarms.db --exclude='SHA256SUMS*' --exclude='导出记录.txt' --exclude=recordings.csv
     --exclude=index.html --exclude=export_signing_key.pub --exclude=allowed_signers)
if diff -r "${own[@]}" \
        "$record/record" "$work/check/rec01" >/dev/null \
        && cmp -s "$record/alarms.db" "$work/check/rec01/alarms.db"; then
    echo "The drive's rec01/ matches the recordings and alarms.db byte for byte."
else
    echo "The drive's rec01/ differs from the recordings (or the export was not run)."
fi
sums_failed=no
if [ -f "$work/check/rec01/SHA256SUMS" ]; then
    if sums=$(cd "$work/check/rec01" && sha256sum -c --strict SHA256SUMS 2>&1); then
        echo "sha256sum -c --strict SHA256SUMS: $(grep -c ': OK$' <<<"$sums") files OK."
    else
        sums_failed=yes
        echo "sha256sum -c --strict SHA256SUMS FAILED:"
        grep -v ': OK$' <<<"$sums" | head -20
    fi
else
    echo "No SHA256SUMS in rec01/ (the export was not run, or not verified)."
fi
if [ -f "$work/check/rec01/SHA256SUMS.sig" ]; then
    (cd "$work/check/rec01" && ssh-keygen -Y verify -f allowed_signers -I rec01 -n file -s SHA256SUMS.sig \
        < SHA256SUMS) || sums_failed=yes
fi
if [ -f "$work/check/rec01/导出记录.txt" ]; then
    echo
    echo "The record (导出记录.txt):"
    cat "$work/check/rec01/导出记录.txt"
fi
# The page the recipient opens, as a browser shows it, beside the window's
# screenshot.
if [ -f "$work/check/rec01/index.html" ] && command -v chromium >/dev/null; then
    timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-background-networking \
        --disable-component-update --disable-sync --no-first-run --user-data-dir="$work/chromium" \
        --hide-scrollbars --window-size=1280,860 --virtual-time-budget=3000 \
        --screenshot="$work/page.png" "file://$work/check/rec01/index.html" >/dev/null 2>&1 || true
    if [ -f "$work/page.png" ]; then
        cp "$work/page.png" ./corvalet-page.png
        [ -z "$shots" ] || cp "$work/page.png" "$shots/page.png"
        echo "The export's page: corvalet-page.png"
    fi
fi
umount "$work/check"

# Qt reports a style sheet it cannot read and a misused object, widget, layout
# or painter with a warning on standard error and then carries on.
qt_warnings='Unknown property|Could not parse (application )?stylesheet|QObject::|QWidget::|QLayout|QPainter'
if grep -qE "$qt_warnings" "$log"; then
    echo
    echo "demo: FAILED: the tool's log holds $(grep -cE "$qt_warnings" "$log") Qt warning line(s):" >&2
    grep -E "$qt_warnings" "$log" | sort | uniq -c >&2
    exit 1
fi
if [ $sums_failed = yes ]; then
    echo "demo: FAILED: the drive's SHA256SUMS does not match what it holds" >&2
    exit 1
fi
