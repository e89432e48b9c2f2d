#!/bin/sh
# The real rsync at 1 MiB/s, so that a copy can be caught mid-way; leaves its
# pid (that of rsync itself) in $FAKE_DIR/<name>.pid.
echo $$ >"$FAKE_DIR/${0##*/}.pid"
exec /usr/bin/rsync --bwlimit=1024 "$@"
