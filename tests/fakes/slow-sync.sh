#!/bin/sh
# The real sync, started 3 s late, so that a flush can be caught while it
# runs; leaves its pid in $FAKE_DIR/<name>.pid.
echo $$ >"$FAKE_DIR/${0##*/}.pid"
sleep 3
exec /bin/sync "$@"
