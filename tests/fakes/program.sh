#!/bin/sh
# Stands in for a system program (mount, umount, sync, rsync, ...) under that
# program's name; FakePrograms::install() links it there. What it does comes
# from the environment: FAKE_<NAME>_<SETTING>, <NAME> being the installed name
# in capitals with "-" as "_" (FAKE_UMOUNT_EXIT), or else FAKE_<SETTING>.
#   DIR     appends "<name> <arguments>" to DIR/calls; pid and gate files live here
#   TERM    "ignore": SIGTERM is ignored; a number: SIGTERM ends it with that code
#   STDOUT  a line for standard output
#   STDERR  a line for standard error
#   GATE    waits until the file DIR/gates/GATE exists (30 s at most, then exit 99)
#   END     "hang": leaves its pid in DIR/<name>.pid and sleeps 30 s;
#           a signal name (KILL, SEGV): dies of that signal
#   EXIT    the exit code (default 0)
name=${0##*/}
upper=$(printf '%s' "$name" | tr 'a-z-' 'A-Z_')
setting() { eval "printf '%s' \"\${FAKE_${upper}_$1-\${FAKE_$1-}}\""; }

dir=$(setting DIR)
[ -z "$dir" ] || echo "$name $*" >>"$dir/calls"
term=$(setting TERM)
case $term in
'') ;;
ignore) trap '' TERM ;;
*) trap 'kill $sleeper 2>/dev/null; exit $term' TERM ;;
esac
out=$(setting STDOUT)
[ -z "$out" ] || printf '%s\n' "$out"
err=$(setting STDERR)
[ -z "$err" ] || printf '%s\n' "$err" >&2
gate=$(setting GATE)
i=0
while [ -n "$gate" ] && [ ! -e "$dir/gates/$gate" ]; do
    sleep 0.02
    i=$((i + 1))
    [ $i -lt 1500 ] || exit 99
done
end=$(setting END)
case $end in
'') ;;
hang)
    [ -z "$dir" ] || echo $$ >"$dir/$name.pid"
    case $term in
    '' | ignore) exec sleep 30 ;;
    *) sleep 30 & sleeper=$!; wait ;;
    esac ;;
*)
    ulimit -c 0
    kill -"$end" $$ ;;
esac
code=$(setting EXIT)
exit "${code:-0}"
