#!/bin/sh
# Stands in for rsync and replays the files 0, 1, 2 ... of $FAKE_CHUNKS one at
# a time, a name ending in ".err" to standard error; after chunk N it waits for
# the file $FAKE_DIR/gates/N (30 s at most, then exit 99), so that the test
# decides when the next chunk is written and each one is read on its own.
n=0
while [ -e "$FAKE_CHUNKS/$n" ] || [ -e "$FAKE_CHUNKS/$n.err" ]; do
    if [ -e "$FAKE_CHUNKS/$n" ]; then cat "$FAKE_CHUNKS/$n"; else cat "$FAKE_CHUNKS/$n.err" >&2; fi
    i=0
    while [ ! -e "$FAKE_DIR/gates/$n" ]; do
        sleep 0.02
        i=$((i + 1))
        [ $i -lt 1500 ] || exit 99
    done
    n=$((n + 1))
done
