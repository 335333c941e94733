#!/usr/bin/env bash
# Cross-builds, for ARCH (x86_64 or i686), the libraries kvtapefw links on
# Windows: Xerces-C as a static library from Debian's source package,
# GoogleTest from Debian's /usr/src/googletest, and the JSON headers copied
# from Debian's include folder alone (pointing the cross build at /usr/include
# would pull in the build host's C library headers). Prints the prefix.
# Does nothing but print it when the prefix is already complete.
set -euo pipefail
source "$(dirname "$0")/common.sh"
arch=$1
prefix=$(deps_prefix "$arch")
if [ -f "$prefix/complete" ]; then
  echo "$prefix"
  exit 0
fi

jobs=${KVFW_JOBS:-$(nproc)}
toolchain=$root/cmake/mingw-w64-$arch.cmake
"$root/scripts/windows/fetch-xerces-source.sh" "$cache_root/src" >&2

# Built in a scratch folder and moved in place only when whole, so an
# interrupted run leaves nothing that looks finished.
work=$(mktemp -d "${TMPDIR:-/tmp}/kvtapefw-deps-$arch.XXXXXX")
trap 'rm -rf "$work"' EXIT
staging=$work/prefix

echo "== Xerces-C $xerces_version for $arch (a few minutes)" >&2
cp -a "$cache_root/src/xerces-c-$xerces_version" "$work/xerces"
# Its tests and samples do not build on a case-sensitive file system, and the
# documentation needs tools and files the Debian tarball does not ship.
sed -i -E '/^add_subdirectory\((doc|tests|samples)\)/d' "$work/xerces/CMakeLists.txt"
cmake -S "$work/xerces" -B "$work/xerces-build" \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$staging" -DBUILD_SHARED_LIBS=OFF \
  -Dnetwork=OFF -Dtranscoder=windows -Dmessage-loader=inmemory \
  -Dmutex-manager=windows >"$work/xerces-configure.log" 2>&1 \
  || { cat "$work/xerces-configure.log" >&2; exit 1; }
cmake --build "$work/xerces-build" -j"$jobs" >"$work/xerces-build.log" 2>&1 \
  || { tail -n 50 "$work/xerces-build.log" >&2; exit 1; }
cmake --install "$work/xerces-build" >/dev/null

echo "== GoogleTest for $arch" >&2
cmake -S /usr/src/googletest -B "$work/gtest-build" \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$staging" -DBUILD_SHARED_LIBS=OFF -DBUILD_GMOCK=OFF \
  >"$work/gtest-configure.log" 2>&1 || { cat "$work/gtest-configure.log" >&2; exit 1; }
cmake --build "$work/gtest-build" -j"$jobs" >"$work/gtest-build.log" 2>&1 \
  || { tail -n 50 "$work/gtest-build.log" >&2; exit 1; }
cmake --install "$work/gtest-build" >/dev/null

# Header-only: its package files find the headers relative to themselves.
mkdir -p "$staging/include" "$staging/share/cmake"
cp -a /usr/include/nlohmann "$staging/include/"
cp -a /usr/share/cmake/nlohmann_json "$staging/share/cmake/"

touch "$staging/complete"
mkdir -p "$(dirname "$prefix")"
rm -rf "$prefix"
mv "$staging" "$prefix"
echo "$prefix"
