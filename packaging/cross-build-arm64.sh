#!/bin/bash
# Builds the recorder's package, corvalet_<version>_arm64.deb, on an amd64
# Debian machine with Debian's cross compiler and arm64 Qt, and with --test
# also runs the test programs that mount no drive under qemu's user mode
# emulator.
#
#   packaging/cross-build-arm64.sh [--test] [BUILD_DIR]
#
# BUILD_DIR defaults to build-arm64 in the source tree: the package is built
# in BUILD_DIR/deb, the tests in BUILD_DIR/tests. The machine needs, once:
#   dpkg --add-architecture arm64 && apt-get update
#   apt-get install crossbuild-essential-arm64 qtbase5-dev:arm64 libssl-dev:arm64
#   apt-get install qemu-user-static     # for --test only
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
run_tests=0
if [ "${1:-}" = --test ]; then
    run_tests=1
    shift
fi
build_dir=$(realpath -m "${1:-$source_dir/build-arm64}")
toolchain=$source_dir/packaging/toolchain-arm64.cmake

missing=()
command -v aarch64-linux-gnu-g++ >/dev/null || missing+=(crossbuild-essential-arm64)
[ -f /usr/lib/aarch64-linux-gnu/cmake/Qt5Widgets/Qt5WidgetsConfig.cmake ] || missing+=(qtbase5-dev:arm64)
[ -f /usr/include/aarch64-linux-gnu/openssl/opensslconf.h ] || missing+=(libssl-dev:arm64)
qemu=$(command -v qemu-aarch64-static || command -v qemu-aarch64 || true)
[ "$run_tests" = 0 ] || [ -n "$qemu" ] || missing+=(qemu-user-static)
if [ "${#missing[@]}" -gt 0 ]; then
    echo "cross build needs: ${missing[*]} (see the top of $0)" >&2
    exit 1
fi

# dpkg-buildflags and dpkg-shlibdeps then work for arm64.
export DEB_HOST_ARCH=arm64
"$source_dir/packaging/build-deb.sh" "$build_dir/deb" -DCMAKE_TOOLCHAIN_FILE="$toolchain"
[ "$run_tests" = 1 ] || exit 0

# The tests run their programs directly, so without a binfmt_misc entry for
# arm64 every program goes through qemu explicitly: the test programs here,
# the tool through a wrapper handed to the tests in CORVALET_BINARY. Left out
# by default:
#  - tests that mount a loop drive: they exercise the kernel and mount(8),
#    not the compiled code, and the native run covers them;
#  - tst_startup: it runs the tool itself under qemu, and QProcess (Qt 5.15)
#    under Debian 12's qemu-user 7.2 loses track of that child ("Invalid
#    socket" warnings); the test fails and ends killed by SIGKILL, and without
#    a PID namespace programs outside it were killed too;
#  - tst_syncmanager and tst_platform: children waited
#    for with QProcess::waitForFinished report wrong exit codes under that
#    qemu (rsync "exits" with 85), which fails the rows that prepare data
#    that way and Command's verdicts; the rest of them passes.
# Each test runs in a PID namespace of its own, so that a stray signal from an
# emulated program cannot reach anything outside.
exclude=${CORVALET_ARM64_EXCLUDE:-tst_export|tst_session|tst_devicemanager|tst_count|tst_filesystems|tst_readiness|tst_startup|tst_syncmanager|tst_platform}
if ! unshare --pid --fork --kill-child true 2>/dev/null; then
    echo "the arm64 tests need root and PID namespaces (unshare --pid)" >&2
    exit 1
fi
tests_dir=$build_dir/tests
cmake -S "$source_dir" -B "$tests_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCORVALET_BUILD_BENCH=OFF
cmake --build "$tests_dir" --parallel "$(nproc)"
printf '#!/bin/sh\nexec %s %s "$@"\n' "$qemu" "$tests_dir/corvalet" > "$tests_dir/corvalet-qemu"
chmod +x "$tests_dir/corvalet-qemu"

passed=0 failed=0 skipped=0
for test in "$tests_dir"/tests/tst_*; do
    name=$(basename "$test")
    [ -f "$test" ] && [ -x "$test" ] || continue
    if [[ $name =~ ^($exclude)$ ]]; then
        echo "=== $name: left out"
        skipped=$((skipped + 1))
        continue
    fi
    echo "=== $name under $(basename "$qemu")"
    if (cd "$tests_dir/tests" && unshare --pid --fork --kill-child -- env QT_QPA_PLATFORM=offscreen \
            CORVALET_BINARY="$tests_dir/corvalet-qemu" CORVALET_SOURCE_DIR="$source_dir" \
            timeout 900 "$source_dir/tests/sandbox.sh" "$qemu" "$test"); then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
done
echo "arm64 tests: $passed passed, $failed failed, $skipped skipped"
[ "$failed" = 0 ]
