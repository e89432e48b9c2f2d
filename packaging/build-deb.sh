#!/bin/bash
# Builds the Debian package of the tool from scratch: a Release build of the
# program alone, with Debian's hardening flags, stripped by cpack.
#
#   packaging/build-deb.sh [BUILD_DIR [CMAKE_OPTION...]]
#
# BUILD_DIR defaults to build-deb in the source tree; the package is left
# there as corvalet_<version>_<architecture>.deb. Further arguments go to
# cmake, e.g. -DCMAKE_TOOLCHAIN_FILE=... for a cross build.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build-deb}
shift || true

# dpkg-buildflags honours DEB_HOST_ARCH, so a cross build gets the flags of
# its target.
if command -v dpkg-buildflags >/dev/null; then
    export DEB_BUILD_MAINT_OPTIONS=${DEB_BUILD_MAINT_OPTIONS:-hardening=+all}
    CPPFLAGS=$(dpkg-buildflags --get CPPFLAGS)
    CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $CPPFLAGS"
    LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
    export CXXFLAGS LDFLAGS
fi

cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release \
    -DCORVALET_BUILD_TESTS=OFF -DCORVALET_BUILD_BENCH=OFF "$@"
cmake --build "$build_dir" --target corvalet --parallel "$(nproc)"
(cd "$build_dir" && cpack -G DEB)
ls "$build_dir"/corvalet_*.deb
