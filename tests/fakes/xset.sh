#!/bin/sh
# Stands in for xset: appends "$DISPLAY|<arguments>" to $FAKE_DIR/xset.log when
# FAKE_DIR is set, waits FAKE_XSET_SLEEP seconds and exits with FAKE_XSET_EXIT.
[ -z "$FAKE_DIR" ] || echo "$DISPLAY|$*" >>"$FAKE_DIR/xset.log"
sleep "${FAKE_XSET_SLEEP:-0}"
exit "${FAKE_XSET_EXIT:-0}"
