#!/bin/bash
# Runs a command in a private mount namespace in which the recorder's fixed
# paths belong to the sandbox alone, so that tests and the demo never touch the
# host's files:
#   /etc               an overlay whose changes live in the sandbox's memory
#   /etc/orveld        tmpfs
#   /etc/zlmedia       tmpfs
#   /etc/hostname      a sandbox file bound over it, holding "rec01"
#   /media             tmpfs, with /media/zozadoz a tmpfs below it
#   /sbin              an overlay adding mount.exfat where only exfat-fuse's
#                      mount.exfat-fuse exists
# The variable CORVALET_SANDBOX=1 tells the tests that they may mount drives.
# Without root or without mount namespaces the command runs as it is, without
# the variable, and the tests that need the sandbox skip with a message.
set -euo pipefail

if [ "${1:-}" != --inside ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "sandbox: not root, running without the private namespace: $*" >&2
        exec "$@"
    fi
    if ! unshare --mount --propagation private true 2>/dev/null; then
        echo "sandbox: no mount namespace available, running without it: $*" >&2
        exec "$@"
    fi
    exec unshare --mount --propagation private -- "$0" --inside "$@"
fi
shift

[ -d /media ] || { echo "sandbox: /media is missing on this machine" >&2; exit 1; }
mount -t tmpfs -o mode=0755 corvalet-media /media
mkdir -p /media/.sandbox/upper /media/.sandbox/work /media/zozadoz
mount -t overlay corvalet-etc -o lowerdir=/etc,upperdir=/media/.sandbox/upper,workdir=/media/.sandbox/work /etc
mkdir -p /etc/orveld /etc/zlmedia
mount -t tmpfs -o mode=0755 corvalet-orveld /etc/orveld
mount -t tmpfs -o mode=0755 corvalet-zlmedia /etc/zlmedia
mount -t tmpfs -o mode=0755 corvalet-zozadoz /media/zozadoz
echo rec01 > /media/.sandbox/hostname
mount --bind /media/.sandbox/hostname /etc/hostname
# Debian's exfat-fuse installs its mount helper only as mount.exfat-fuse; a
# recorder mounts exFAT through /sbin/mount.exfat (its kernel's driver or the
# same FUSE one), so the sandbox offers that name too, in its own copy of sbin.
sbin=$(readlink -f /sbin)
if [ ! -e "$sbin/mount.exfat" ] && [ -x "$sbin/mount.exfat-fuse" ]; then
    mkdir -p /media/.sandbox/sbin-upper /media/.sandbox/sbin-work
    mount -t overlay corvalet-sbin -o "lowerdir=$sbin,upperdir=/media/.sandbox/sbin-upper,workdir=/media/.sandbox/sbin-work" "$sbin"
    ln -s mount.exfat-fuse "$sbin/mount.exfat"
fi

export CORVALET_SANDBOX=1
exec "$@"
