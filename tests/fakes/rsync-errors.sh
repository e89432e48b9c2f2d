#!/bin/sh
# Stands in for rsync: writes FAKE_LINES lines of standard error (line i is
# FAKE_TEXT with "%d" replaced by i), in bursts of 200 with a short pause
# between them, then FAKE_LAST if set, and exits with FAKE_EXIT. Copies nothing.
i=1
while [ "$i" -le "${FAKE_LINES:-0}" ]; do
    printf "${FAKE_TEXT:-error %d}\n" "$i" >&2
    [ $((i % 200)) -ne 0 ] || sleep 0.05
    i=$((i + 1))
done
[ -z "${FAKE_LAST:-}" ] || printf '%s\n' "$FAKE_LAST" >&2
exit "${FAKE_EXIT:-0}"
