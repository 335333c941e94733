#!/usr/bin/env bash
# The Windows side of the test command: test.sh NATIVE_BUILD_DIR
#  - cross-builds kvtapefw.exe and its tests for x86_64 and runs the tests
#    under Wine;
#  - cross-builds for i686 as well (the 32-bit pass-through layout is checked
#    while compiling; the program is not run);
#  - runs kvtapefw.exe end to end under Wine against the native build.
set -euo pipefail
source "$(dirname "$0")/common.sh"
native_dir=$1
windows_dir=$root/build/windows
windows32_dir=$root/build/windows-i686

echo "== build $windows_dir (x86_64)"
"$root/scripts/windows/build.sh" x86_64 "$windows_dir"
echo "== build $windows32_dir (i686, compiled only)"
"$root/scripts/windows/build.sh" i686 "$windows32_dir" -DKVFW_BUILD_TESTS=OFF

echo "== test $windows_dir under Wine"
use_wine_prefix "$windows_dir/wineprefix"
start_wine
trap stop_wine EXIT
ctest --test-dir "$windows_dir" --output-on-failure --timeout 120 -j"$(nproc)"
stop_wine
trap - EXIT

echo "== kvtapefw.exe end to end under Wine"
"$root/scripts/windows/e2e.sh" "$native_dir" "$windows_dir"
