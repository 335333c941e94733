#!/usr/bin/env bash
# Fetches Debian's Xerces-C source package into DEST (unpacked, Debian's
# patches applied). apt-get source needs a deb-src entry, which the system
# does not carry; one is added for the download and removed again after.
set -euo pipefail
source "$(dirname "$0")/common.sh"
dest=$1
unpacked=$dest/xerces-c-$xerces_version
[ -f "$unpacked/CMakeLists.txt" ] && exit 0

sources=/etc/apt/sources.list.d/debian.sources
extra=/etc/apt/sources.list.d/kvtapefw-deb-src.sources
cleanup() {
  as_root rm -f "$extra"
  as_root apt-get update -qq || true
}
trap cleanup EXIT
sed 's/^Types:.*/Types: deb-src/' "$sources" | as_root tee "$extra" >/dev/null
as_root apt-get update -qq

work=$(mktemp -d "${TMPDIR:-/tmp}/kvtapefw-xerces.XXXXXX")
(cd "$work" && apt-get source -qq xerces-c >/dev/null 2>&1) || { echo "apt-get source xerces-c failed" >&2; exit 1; }
tree=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name "xerces-c-$xerces_version*" | head -n 1)
if [ -z "$tree" ]; then
  echo "Debian's source package is not Xerces-C $xerces_version:" >&2
  ls "$work" >&2
  exit 1
fi
mkdir -p "$dest"
rm -rf "$unpacked"
mv "$tree" "$unpacked"
rm -rf "$work"
