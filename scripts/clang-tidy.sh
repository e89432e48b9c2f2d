#!/bin/bash
# Runs clang-tidy (configuration: .clang-tidy) over the product's sources in
# the product's folders (config/, platform/, device/, sync/, session/, proof/, recordings/, export/,
# ui/, app/), using the compile commands of a clang build in build-tidy/.
# Exits non-zero on any warning.
#   scripts/clang-tidy.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVALET_TIDY_BUILD_DIR:-$root/build-tidy}
tidy=$(command -v clang-tidy-14 || command -v clang-tidy)
runner=$(command -v run-clang-tidy-14 || command -v run-clang-tidy)

CXX=$(command -v clang++-14 || command -v clang++) cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCORVALET_BUILD_TESTS=OFF -DCORVALET_BUILD_BENCH=OFF >/dev/null
# The moc sources are generated at build time; the product's own files do not
# include them, but the compile commands name their include directory.
cmake --build "$build" --target corvalet_core_autogen corvalet_autogen >/dev/null

log=$build/clang-tidy.log
"$runner" -quiet -clang-tidy-binary "$tidy" -p "$build" -j"$(nproc)" \
    "^$root/(app|ui|config|platform|device|sync|session|proof|recordings|export)/[^/]+\.cpp\$" 2>&1 | sed 's/\x1b\[[0-9;]*m//g' >"$log" || true
# run-clang-tidy's exit status does not count warnings: its output does.
warnings=$(grep -cE '^/.*:[0-9]+:[0-9]+: (warning|error):' "$log" || true)
checked=$(grep -cE '^/[^ ]*clang-tidy' "$log" || true)
sources=$(ls "$root"/{app,ui,config,platform,device,sync,session,proof,recordings,export}/*.cpp | wc -l)
if [ "$checked" -ne "$sources" ]; then
    cat "$log"
    echo "clang-tidy: checked $checked of $sources sources"
    exit 1
fi
if [ "$warnings" -ne 0 ]; then
    grep -vE '^(/[^ ]*clang-tidy|[0-9]+ warnings? (and [0-9]+ errors? )?generated)' "$log"
    echo "clang-tidy: $warnings warning(s)"
    exit 1
fi
echo "clang-tidy: $sources sources, no warnings"
