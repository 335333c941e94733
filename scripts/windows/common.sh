# Sourced by the scripts in this folder: where the Windows build keeps its
# cross-built libraries and how it runs things under Wine.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
xerces_version=3.2.4

# The cross-built libraries do not depend on this project's sources, only on
# the recipe in these scripts and on the compilers, so they live outside the
# build folders and survive a clean build. A change of recipe or compiler
# gives a new folder name, so a stale cache is never picked up.
cache_root=${KVFW_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kvtapefw}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# deps_prefix ARCH: the folder holding Xerces-C, GoogleTest and the JSON
# headers cross-built for ARCH (x86_64 or i686).
deps_prefix() {
  local arch=$1 compiler recipe
  compiler=$("$arch-w64-mingw32-g++-posix" -dumpfullversion 2>/dev/null || echo none)
  recipe=$(cat "$root/scripts/windows/deps.sh" "$root/cmake/mingw-w64-common.cmake" | sha1sum | cut -c1-10)
  echo "$cache_root/deps-$arch-gcc$compiler-xerces$xerces_version-$recipe"
}

# Wine keeps its prefix (a few hundred megabytes on first use) in the build
# folder, never in the user's home.
use_wine_prefix() {
  export WINEPREFIX=$1
  export WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
  mkdir -p "$WINEPREFIX"
}

# A cold wine server makes every program start wait for it; starting it
# persistent and running one trivial program first keeps each later start
# short and stops CTest from hanging on a server that outlives its child.
start_wine() {
  wineserver -p 2>/dev/null || true  # fails when one already runs for this prefix
  wine cmd /c exit >/dev/null 2>&1 || true
}

stop_wine() {
  wineserver -k 2>/dev/null || true
}
