#!/bin/bash
# Installs the Debian packages needed to build, test and demonstrate the tool,
# skipping the update when everything is already there.
set -euo pipefail
packages=(
    build-essential cmake qtbase5-dev qtbase5-dev-tools       # build
    libsqlite3-dev sqlite3                                    # the alarm database's snapshot, WAL databases in tests
    libssl-dev                                                # SHA-256 of every exported file (libcrypto's EVP)
    openssl openssh-client                                    # the signing key (postinst, tests), ssh-keygen -Y verify in tests
    nbdkit libnbd-bin nbdkit-plugin-dev                       # slow and counterfeit sticks for the tests (rate filter, nbdfuse, cc plugin)
    rsync mount util-linux e2fsprogs x11-xserver-utils        # what the tool runs, loop drives
    exfat-fuse exfatprogs ntfs-3g dosfstools fusefat          # exFAT, NTFS and FAT32 drives (FUSE drivers, mkfs)
    xvfb xauth xdotool imagemagick fonts-wqy-microhei         # virtual display, screenshots, CJK text
    python3-xlib                                              # closing the window as a window manager does
    dpkg-dev file lintian systemd udev                        # package checks
    fdisk                                                     # sfdisk: partition tables of the package checks' loop devices
    clang-14 libclang-rt-14-dev llvm-14 clang-tidy-14         # fuzzers, their symbolizer, clang-tidy
    ffmpeg                                                    # real H.264 recordings in tests, ffprobe's durations
    chromium                                                  # the export's index.html opened in a real browser
)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"
fi
