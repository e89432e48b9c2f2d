#!/bin/bash
# Builds the Debian package from a configured and built tree and checks what a
# recorder gets from it: the file list, the control fields, lintian's verdict,
# the service unit as systemd reads it, the udev rule as udev applies it to
# real loop devices of three layouts (a file system on the whole disk, a
# partition table with one partition, and one with two), the unit's choice
# among the devices of those disks, and the maintainer scripts on systems with
# and without a running udev and systemd.
#
#   check-package.sh BUILD_DIR CPACK VERSION
#
# Exit status 0 when everything passed, 1 when a check failed, 77 when some
# check could not run here (a missing tool, no root) and none failed.
set -uo pipefail

# The udev rule and the maintainer scripts run inside tests/sandbox.sh (a
# private mount namespace with /etc in memory and /etc/orveld empty) whose
# /dev, /run and udev rule directories are also empty tmpfs mounts, so that
# nothing of the host's udev state or configuration is read or written.
# SCRATCH is an empty directory that the caller removes once the namespace,
# and with it the bind mount of /dev inside SCRATCH, is gone. WHOLE, PARTED
# and TWO are the kernel names of the three disks; the partitions are
# PARTEDp1, TWOp1 and TWOp2.
#   check-package.sh --inside RULE CONTROL_DIR SCRATCH WHOLE PARTED TWO
if [ "${1:-}" = --inside ]; then
    rule=$2 control=$3 scratch=$4 whole=$5 parted=$6 two=$7
    failures=0
    fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
    [ "${CORVALET_SANDBOX:-}" = 1 ] || { fail "not inside tests/sandbox.sh"; exit 1; }
    mkdir "$scratch/hostdev"
    mount --bind /dev "$scratch/hostdev"
    mount -t tmpfs corvalet-dev /dev
    touch /dev/null && mount --bind "$scratch/hostdev/null" /dev/null
    mount -t tmpfs corvalet-run /run
    for dir in /etc/udev/rules.d /usr/lib/udev/rules.d /lib/udev/rules.d /usr/local/lib/udev/rules.d; do
        [ -d "$dir" ] && mount -t tmpfs corvalet-rules "$dir"
    done
    mkdir -p /run/udev/rules.d
    cp "$rule" /run/udev/rules.d/
    # udev's blkid reads the devices through their nodes.
    for device in "$whole" "$parted" "${parted}p1" "$two" "${two}p1" "${two}p2"; do
        IFS=: read -r major minor < "/sys/class/block/$device/dev"
        mknod "/dev/$device" b "$major" "$minor"
    done

    # What the rule makes of an event, as "wants=... tags=...". A rule in
    # front of it stands in for 60-persistent-storage.rules: it sets ID_BUS,
    # which comes from the real hardware, and ID_FS_USAGE, or with "probe"
    # has udev's own blkid find it on the device as 60-persistent-storage
    # does.
    expect_udev() { # EXPECTED DEVICE ACTION ID_BUS ID_FS_USAGE|probe
        if [ "$5" = probe ]; then
            printf 'SUBSYSTEM=="block", ENV{ID_BUS}="%s", IMPORT{builtin}="blkid"\n' "$4"
        else
            printf 'SUBSYSTEM=="block", ENV{ID_BUS}="%s", ENV{ID_FS_USAGE}="%s"\n' "$4" "$5"
        fi > /run/udev/rules.d/00-fake-storage.rules
        rm -rf /run/udev/data /run/udev/tags # tags stick to a device across events
        local out got
        out=$(timeout 60 udevadm test --action="$3" "/sys/class/block/$2" 2>&1)
        if grep "$(basename "$rule")" <<<"$out" | grep -v '^Reading rules file'; then
            fail "udev complains about the rule"
        fi
        got="wants=$(sed -n 's/^SYSTEMD_WANTS=//p' <<<"$out") tags=$(sed -n 's/^TAGS=//p' <<<"$out")"
        [ "$got" = "$1" ] || fail "udev $3 of $2 (ID_BUS=$4, ID_FS_USAGE=$5): got '$got', expected '$1'"
    }
    part=${parted}p1
    expect_udev "wants=corvalet@$part.service tags=:systemd:" "$part" add usb filesystem
    expect_udev "wants= tags=" "$part" add ata filesystem
    expect_udev "wants= tags=" "$part" add usb crypto
    expect_udev "wants= tags=" "$part" change usb filesystem
    expect_udev "wants= tags=" "$whole" add ata filesystem
    expect_udev "wants= tags=" "$whole" change usb filesystem
    # Each layout as udev's blkid sees it. Both partitions of the disk with
    # two start an instance; which one exports is the tool's choice.
    expect_udev "wants=corvalet@$whole.service tags=:systemd:" "$whole" add usb probe
    expect_udev "wants= tags=" "$parted" add usb probe
    expect_udev "wants=corvalet@$part.service tags=:systemd:" "$part" add usb probe
    expect_udev "wants= tags=" "$two" add usb probe
    expect_udev "wants=corvalet@${two}p1.service tags=:systemd:" "${two}p1" add usb probe
    expect_udev "wants=corvalet@${two}p2.service tags=:systemd:" "${two}p2" add usb probe

    # The maintainer scripts, with stand-ins for udevadm and systemctl that
    # record their calls and fail when FAIL_STUBS is set.
    stubs=$scratch/stubs calls=$scratch/calls
    mkdir "$stubs"
    for tool in udevadm systemctl; do
        printf '#!/bin/sh\necho "%s $*" >> %s\n[ -z "$FAIL_STUBS" ]\n' "$tool" "$calls" > "$stubs/$tool"
        chmod +x "$stubs/$tool"
    done
    # The real programs that make and remove the signing key.
    for tool in openssl mktemp mkdir chmod mv rm; do
        ln -s "$(command -v "$tool")" "$stubs/$tool"
    done
    expect_script() { # EXPECTED_CALLS SCRIPT ARGUMENT [VAR=VALUE...]
        local expected=$1 script=$2 argument=$3
        shift 3
        : > "$calls"
        if ! env -i PATH="$stubs" FAIL_STUBS= "$@" "$control/$script" "$argument" >/dev/null 2>&1; then
            fail "$script $argument $* failed"
        fi
        local got
        got=$(paste -sd ';' "$calls")
        [ "$got" = "$expected" ] || fail "$script $argument $*: called '$got', expected '$expected'"
    }
    # The signing key: made on the first configure, root's alone, an Ed25519
    # key with no temporary file left beside it; kept as it is by every later
    # configure and by a remove; gone after a purge.
    key=/etc/orveld/export_signing_key
    key_state() { stat -c '%F %a %U:%G' "$key" 2>&1; ls -A /etc/orveld | paste -sd ' '; md5sum < "$key" 2>&1; }
    expect_script "" postinst configure
    made="regular file 600 root:root"
    [ "$(stat -c '%F %a %U:%G' "$key" 2>&1)" = "$made" ] || fail "key after configure: $(key_state)"
    [ "$(ls -A /etc/orveld)" = export_signing_key ] || fail "left beside the key: $(ls -A /etc/orveld)"
    openssl pkey -in "$key" -noout -text 2>&1 | grep -q '^ED25519 Private-Key' \
        || fail "the key is not an Ed25519 key: $(openssl pkey -in "$key" -noout -text 2>&1 | head -1)"
    first=$(key_state)
    mkdir -p /run/systemd/system /run/udev && touch /run/udev/control
    both="udevadm control --reload;systemctl --system daemon-reload"
    expect_script "$both" postinst configure
    [ "$(key_state)" = "$first" ] || fail "a second configure changed the key: $(key_state), was $first"
    expect_script "$both" postinst configure FAIL_STUBS=1
    expect_script "$both" postrm remove
    [ "$(key_state)" = "$first" ] || fail "remove changed the key: $(key_state), was $first"
    expect_script "" postrm upgrade
    rm "$stubs/udevadm"
    expect_script "systemctl --system daemon-reload" postinst configure
    rm -r /run/systemd
    expect_script "" postrm purge
    [ ! -e "$key" ] || fail "the key is left after purge: $(key_state)"
    exit $((failures > 0))
fi

build=$1 cpack=$2 version=$3
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
loops=()
cleanup() {
    for loop in "${loops[@]}"; do
        partx -d "$loop" 2>/dev/null
        losetup -d "$loop"
    done
    rm -rf "$tmp"
}
trap cleanup EXIT

passed=0 failed=0 skipped=0
pass() { echo "PASS: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
skip() { echo "SKIP: $*"; skipped=$((skipped + 1)); }
have() { command -v "$1" >/dev/null 2>&1; }
finish() {
    echo "package checks: $passed passed, $failed failed, $skipped skipped"
    if [ "$failed" -gt 0 ]; then exit 1; fi
    if [ "$skipped" -gt 0 ]; then exit 77; fi
    exit 0
}

for tool in dpkg-deb readelf; do
    have "$tool" || { skip "$tool is not installed, no package checks"; finish; }
done

if ! timeout 300 "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" > "$tmp/cpack.log" 2>&1; then
    cat "$tmp/cpack.log"
    fail "cpack could not build the package"
    finish
fi
debs=("$tmp"/out/corvalet_"$version"_*.deb)
deb=${debs[0]}
[ -f "$deb" ] || { fail "no corvalet_${version}_*.deb from cpack"; finish; }
pass "cpack built $(basename "$deb")"
root=$tmp/root control=$tmp/control
dpkg-deb -x "$deb" "$root" && dpkg-deb -e "$deb" "$control"

# Contents: every path with its mode and owner.
dpkg-deb -c "$deb" | awk '{print $1, $2, $6}' > "$tmp/contents"
cat > "$tmp/expected" <<'EOF'
drwxr-xr-x root/root ./lib/
drwxr-xr-x root/root ./lib/systemd/
drwxr-xr-x root/root ./lib/systemd/system/
-rw-r--r-- root/root ./lib/systemd/system/corvalet@.service
drwxr-xr-x root/root ./lib/udev/
drwxr-xr-x root/root ./lib/udev/rules.d/
-rw-r--r-- root/root ./lib/udev/rules.d/90-corvalet.rules
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/corvalet
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/corvalet/
-rw-r--r-- root/root ./usr/share/doc/corvalet/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/corvalet/copyright
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man1/
-rw-r--r-- root/root ./usr/share/man/man1/corvalet.1.gz
EOF
if diff -u "$tmp/expected" "$tmp/contents"; then pass "file list"; else fail "file list differs (- expected, + packaged)"; fi

# Control fields. The architecture must be the one the packaged binary was
# compiled for, which is what a cross build gets wrong first.
field() { dpkg-deb -f "$deb" "$1"; }
machine=$(readelf -h "$root/usr/bin/corvalet" | sed -n 's/^ *Machine: *//p')
case $machine in
    AArch64) elf_arch=arm64 ;;
    *X86-64) elf_arch=amd64 ;;
    *) elf_arch="unknown machine $machine" ;;
esac
depends=$(field Depends | sed 's/([^)]*)//g; s/[[:space:]]//g' | tr ',' '\n')
control_ok=1
check_field() { [ "$2" = "$3" ] || { echo "$1 is '$2', expected '$3'"; control_ok=0; }; }
check_field Package "$(field Package)" corvalet
check_field Version "$(field Version)" "$version"
check_field Architecture "$(field Architecture)" "$elf_arch"
check_field "Latest changelog entry" \
    "$(zcat "$root/usr/share/doc/corvalet/changelog.gz" | sed -n '1s/^corvalet (\([^)]*\)).*/\1/p')" "$version"
for alternatives in libqt5core5a libqt5gui5 libqt5widgets5 rsync mount x11-xserver-utils openssl 'fonts-wqy-microhei|fonts-noto-cjk'; do
    grep -Eq "(^|\|)($alternatives)(\||$)" <<<"$depends" \
        || { echo "Depends lacks $alternatives: $(field Depends)"; control_ok=0; }
done
# The linker keeps libcrypto only once the program calls it; from then on the
# package must bring it.
if readelf -d "$root/usr/bin/corvalet" | grep -q 'NEEDED.*\[libcrypto\.so\.3\]' \
        && ! grep -Eq '(^|\|)libssl3(\||$)' <<<"$depends"; then
    echo "the program needs libcrypto.so.3, Depends lacks libssl3: $(field Depends)"; control_ok=0
fi
if [ -x "$control/postinst" ] && [ -x "$control/postrm" ]; then :; else
    echo "postinst and postrm must be executable"; control_ok=0
fi
if [ "$control_ok" = 1 ]; then pass "control fields"; else fail "control fields"; fi

# The unit as packaged, loaded the way systemd loads an instance. systemd
# wants the program of a command line to be there, and the tool is not
# installed here: the copy runs the packaged one.
unit=$root/lib/systemd/system/corvalet@.service
if have systemd-analyze; then
    mkdir "$tmp/units" && sed "s|=/usr/bin/corvalet |=$root/usr/bin/corvalet |" "$unit" > "$tmp/units/corvalet@.service"
    if out=$(SYSTEMD_UNIT_PATH=$tmp/units: timeout 60 systemd-analyze verify --man=no corvalet@sdb1.service 2>&1) \
            && [ -z "$out" ]; then
        pass "systemd-analyze verify"
    else
        fail "systemd-analyze verify: $out"
    fi
else
    skip "systemd-analyze is not installed"
fi
# systemd-analyze only sees the host's programs; the tool itself must be the
# one in the package.
for program in $(sed -n 's/^Exec\(Condition\|Start\)=//p' "$unit" | grep -o '/[^ ]*bin/[^ ]*'); do
    [ -x "$root$program" ] || [ -x "$program" ] || fail "the unit runs $program, which neither the package nor the system has"
done

# A loop device attached to IMAGE, with the partitions of its table; its
# kernel name goes to $attached. A kernel built without partition parsers
# leaves the table to partx, which hands the partitions to the kernel as
# BLKPG does for any table.
attach() { # IMAGE PARTITIONS
    local device
    device=$(losetup --find --show --partscan "$1" 2>&1) || { echo "losetup: $device"; return 1; }
    loops+=("$device")
    attached=$(basename "$device")
    [ "$2" -eq 0 ] && return 0
    [ -e "/sys/class/block/${attached}p$2" ] || partx -a "$device" || return 1
    for _ in $(seq 50); do [ -b "/dev/${attached}p$2" ] && return 0; sleep 0.1; done
    echo "no /dev/${attached}p$2"
    return 1
}

# The three layouts of a stick on real loop devices: exFAT on the whole disk
# (which blkid also takes for a DOS partition table with no partitions), a
# DOS table with one FAT partition and no file system on the disk itself, and
# a small FAT partition before a larger ext4 one.
make_layouts() {
    truncate -s 8M "$tmp/whole.img" "$tmp/parted.img" && truncate -s 24M "$tmp/two.img" || return 1
    mkfs.exfat "$tmp/whole.img" >/dev/null || return 1
    printf 'label: dos\n2048,,c\n' | sfdisk -q "$tmp/parted.img" || return 1
    printf 'label: dos\n2048,8192,c\n,,83\n' | sfdisk -q "$tmp/two.img" || return 1
    attach "$tmp/whole.img" 0 && whole=$attached || return 1
    attach "$tmp/parted.img" 1 && parted=$attached || return 1
    attach "$tmp/two.img" 2 && two=$attached || return 1
    mkfs.vfat "/dev/${parted}p1" >/dev/null && mkfs.vfat "/dev/${two}p1" >/dev/null \
        && mkfs.ext4 -q "/dev/${two}p2"
}

# The unit's ExecCondition, run with the packaged tool on DEVICE inside the
# tests' sandbox (the tool makes its configuration directory): its exit code
# and, for a device that is not chosen, the line that names the chosen one.
# The check runs before the display is there; it logs no warning of its own
# or of Qt's.
expect_choice() { # EXIT_CODE DEVICE [CHOSEN]
    local line command out code
    line=$(sed -n 's/^ExecCondition=//p' "$unit")
    read -ra command <<<"${line//%I/$2}"
    command[0]=$root${command[0]}
    out=$(QT_MESSAGE_PATTERN='%{type} %{message}' timeout 60 "$here/../tests/sandbox.sh" "${command[@]}" 2>&1)
    code=$?
    if [ "$code" != "$1" ]; then
        echo "$out"
        choice_ok=0; echo "check of $2 exited with $code, expected $1"
    elif [ -n "${3:-}" ] && ! grep -qx "info 未使用的分区: $2 导出到 $3" <<<"$out"; then
        echo "$out"
        choice_ok=0; echo "check of $2 does not name $3"
    elif grep -E '^(warning|critical|fatal) ' <<<"$out"; then
        choice_ok=0; echo "check of $2 logged a warning"
    fi
}

# The udev rule on the three layouts, and the maintainer scripts.
if [ "$(id -u)" -ne 0 ]; then
    skip "udev rule, the unit's choice and maintainer scripts need root"
elif ! have udevadm || ! have losetup || ! have partx || ! have sfdisk || ! have mkfs.exfat || ! have mkfs.vfat \
        || ! have mkfs.ext4 || ! unshare -m true 2>/dev/null; then
    skip "udev rule, the unit's choice and maintainer scripts need udevadm, losetup, partx, sfdisk, mkfs.exfat, mkfs.vfat, mkfs.ext4 and mount namespaces"
elif ! make_layouts > "$tmp/layouts.log" 2>&1; then
    skip "no loop devices with partitions here: $(cat "$tmp/layouts.log")"
else
    mkdir "$tmp/inside"
    if timeout 300 "$here/../tests/sandbox.sh" "$0" --inside \
            "$root/lib/udev/rules.d/90-corvalet.rules" "$control" "$tmp/inside" "$whole" "$parted" "$two"; then
        pass "udev rule and maintainer scripts"
    else
        fail "udev rule or maintainer scripts"
    fi
    if [ "$elf_arch" != "$(dpkg --print-architecture)" ]; then
        skip "the unit's choice: the packaged tool is for $elf_arch"
    else
        choice_ok=1
        expect_choice 0 "$whole"
        expect_choice 1 "$parted" "${parted}p1"
        expect_choice 0 "${parted}p1"
        expect_choice 1 "${two}p1" "${two}p2"
        expect_choice 0 "${two}p2"
        if [ "$choice_ok" = 1 ]; then pass "the unit's choice of device"; else fail "the unit's choice of device"; fi
    fi
fi
if have lintian; then
    if out=$(timeout 300 lintian --fail-on error --display-info "$deb" 2>&1); then
        pass "lintian"
    else
        fail "lintian"
    fi
    grep -v 'running with root privileges' <<<"$out"
else
    skip "lintian is not installed"
fi

finish
