#!/bin/bash
# Quick start (a): installs what is missing, builds, and runs a whole export on
# a demo drive: an ext4 image on a loop device, sample recordings and the
# tool's configuration, all inside a private mount namespace so the host's
# files stay untouched.
#
#   scripts/demo.sh                 on the local X display if one answers, else on a
#                                   virtual one where the export is driven automatically
#   scripts/demo.sh --virtual       always on a virtual display
#   scripts/demo.sh --screenshots DIR   also keeps the window's states as PNG files in DIR
#
# A screenshot of the last state is left in ./corvalet-demo.png. The loop device
# and the image are removed however the demo ends. The demo fails when the
# tool's standard error holds a Qt warning (an unknown style sheet property,
# a QObject::, QWidget::, QLayout or QPainter complaint).
set -euo pipefail
# Needs root (packages, loop devices, mounts): a user with sudo rights may
# start it as it is and is asked for the password.
if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null; then
    exec sudo -- "$0" "$@"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVALET_BUILD_DIR:-$root/build}

if [ "$(id -u)" -ne 0 ]; then
    echo "The demo mounts a drive image: run it as root." >&2
    exit 1
fi
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target corvalet

work=$(mktemp -d /tmp/corvalet-demo.XXXXXX)
loop=""
cleanup() {
    if [ -n "$loop" ]; then
        losetup -d "$loop" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# A small drive with a file of its own, so the drive is not empty.
truncate -s 256M "$work/drive.img"
mkdir "$work/drive-seed"
echo "a USB drive brought to the recorder" > "$work/drive-seed/README.txt"
mkfs.ext4 -q -F -L DEMO -d "$work/drive-seed" "$work/drive.img"
loop=$(losetup --find --show "$work/drive.img")
echo "Demo drive: $loop"

"$root/tests/sandbox.sh" "$root/scripts/demo-session.sh" "$build/corvalet" "$loop" "$work" "$@"
