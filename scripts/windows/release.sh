#!/usr/bin/env bash
# Produces the Windows release folder in one step: release.sh [DEST]
# (default build/windows-release): kvtapefw.exe (64-bit, static: it needs no
# DLL beyond Windows' own), a sample fwimage\firmware.cfg and the README.
set -euo pipefail
source "$(dirname "$0")/common.sh"
dest=${1:-$root/build/windows-release}
build=$root/build/windows-release-build

"$root/scripts/install-deps.sh" windows
"$root/scripts/windows/build.sh" x86_64 "$build" -DKVFW_BUILD_TESTS=OFF

rm -rf "$dest"
mkdir -p "$dest/fwimage"
x86_64-w64-mingw32-strip -o "$dest/kvtapefw.exe" "$build/kvtapefw.exe"
# Windows tools expect CRLF line ends in text files handed to people.
sed 's/\r*$/\r/' "$root/examples/windows-release/fwimage/firmware.cfg" >"$dest/fwimage/firmware.cfg"
sed 's/\r*$/\r/' "$root/README.md" >"$dest/README.md"

dlls=$(x86_64-w64-mingw32-objdump -p "$dest/kvtapefw.exe" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')
foreign=$(tr ' ' '\n' <<<"$dlls" | grep -viE '^(kernel32|msvcrt|shell32|advapi32|user32|ws2_32|ole32)\.dll$' | grep . || true)
if [ -n "$foreign" ]; then
  echo "kvtapefw.exe needs DLLs Windows does not ship: $foreign" >&2
  exit 1
fi
echo "Release folder: $dest"
echo "kvtapefw.exe imports only system DLLs: $dlls"
ls -l "$dest" "$dest/fwimage"
