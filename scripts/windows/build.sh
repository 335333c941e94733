#!/usr/bin/env bash
# Cross-builds kvtapefw.exe for Windows: build.sh ARCH DIR [cmake options...]
# ARCH is x86_64 or i686. Builds the cross libraries first when missing.
# The test programs run under Wine, with a Wine prefix of their own in DIR.
set -euo pipefail
source "$(dirname "$0")/common.sh"
arch=$1 dir=$2; shift 2
prefix=$("$root/scripts/windows/deps.sh" "$arch")
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
cmake -S "$root" -B "$dir" --no-warn-unused-cli \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_FIND_PACKAGE_PREFER_CONFIG=ON \
  -DXercesC_DIR="$prefix/cmake" \
  -DGTest_DIR="$prefix/lib/cmake/GTest" \
  -Dnlohmann_json_DIR="$prefix/share/cmake/nlohmann_json" \
  "-DCMAKE_CROSSCOMPILING_EMULATOR=env;WINEPREFIX=$dir/wineprefix;WINEDEBUG=-all;wine" \
  "$@" >/dev/null
# Progress lines are dropped. A build that prints nothing else is no failure,
# and with pipefail a failed build fails this script.
cmake --build "$dir" -j"${KVFW_JOBS:-$(nproc)}" -- --no-print-directory | { grep -Ev '^\[ *[0-9]+%\]' || true; }
