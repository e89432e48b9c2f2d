#!/bin/bash
# Renders the waiting window (no drive, no copy) on a virtual display and saves
# a screenshot: scripts/screenshot-waiting.sh [output.png]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVALET_BUILD_DIR:-$root/build}
out=$(realpath -m "${1:-waiting.png}")
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target corvalet
# The device event "none" is neither add nor remove: the window just waits.
"$root/tests/sandbox.sh" xvfb-run -a -s "-screen 0 800x480x24 -nolisten tcp" \
    sh -c '"$1" sdb1 none & pid=$!; sleep 3
           eval "$(xdotool search --name "^U盘导出视频工具\$" getwindowgeometry --shell | grep -E "^(X|Y|WIDTH|HEIGHT)=")"
           import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$2"; kill $pid; wait $pid' \
    sh "$build/corvalet" "$out"
echo "Saved $out"
