#!/bin/bash
# Quick start (b): installs what is missing, builds and runs the whole test
# suite. Run as root: the tests mount real loop-device drives inside a private
# mount namespace (tests/sandbox.sh) and never touch the host's own files.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVALET_BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CORVALET_CMAKE_ARGS:-}
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure --timeout 900 "$@"
