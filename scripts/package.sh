#!/usr/bin/env bash
# Builds the Debian package from a clean build with the tests off and
# Debian's hardening flags: build/package/kvtapefw_<version>_<arch>.deb, the
# version being the project's (CMakeLists.txt). Prints the package's path last.
# What it holds: cmake/debian-package.cmake.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/package-build
out=$root/build/package
rm -rf "$build" "$out"

# The flags Debian builds its packages with, every hardening feature on
# (fortified functions, stack protector, read-only relocations bound now,
# position-independent executable). CMake reads CXXFLAGS and LDFLAGS from the
# environment when it first configures a build; it has no CPPFLAGS, so the
# preprocessor's (_FORTIFY_SOURCE) go with CXXFLAGS. Run from the root, so
# that the file-prefix map the flags hold strips the build machine's paths.
cd "$root"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
export CXXFLAGS LDFLAGS
"$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=None -DKVFW_BUILD_TESTS=OFF

(cd "$build" && cpack -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$out/kvtapefw_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { echo "package.sh: cpack made no $deb" >&2; exit 1; }
echo "$deb"
