#!/bin/bash
# Runs a command in a private mount namespace in which the recorder's fixed
# paths belong to the sandbox alone, so that tests and the demo never touch the
# host's files:
#   /etc               an overlay whose changes live in the sandbox's memory
#   /etc/orveld        tmpfs
#   /etc/zlmedia       tmpfs
#   /etc/hostname      a sandbox file bound over it, holding "rec01"
#   /media             tmpfs, with /media/zozadoz a tmpfs below it
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

export CORVALET_SANDBOX=1
exec "$@"
