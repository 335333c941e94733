#!/usr/bin/env bash
# Produces the Windows release in one step: release.sh [DEST]
# (default build/windows-release): kvtapefw.exe (64-bit, static: it needs no
# DLL beyond Windows' own), a sample fwimage\firmware.cfg and the README.
# Beside DEST it writes the archive kvtapefw-<version>-win64.zip (one folder
# kvtapefw-<version>-win64\ holding the release) and SHA256SUMS, which
# `sha256sum -c SHA256SUMS` checks from that folder: a line per file of the
# release and one for the archive. The version is the project's
# (CMakeLists.txt); kvtapefw.exe carries it in its version resource, which is
# read back from the built file and compared.
set -euo pipefail
source "$(dirname "$0")/common.sh"
dest=${1:-$root/build/windows-release}
build=$root/build/windows-release-build

fail() {
  echo "release.sh: $*" >&2
  exit 1
}

"$root/scripts/install-deps.sh" windows
"$root/scripts/windows/build.sh" x86_64 "$build" -DKVFW_BUILD_TESTS=OFF
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"

rm -rf "$dest"
mkdir -p "$dest/fwimage"
dest=$(cd "$dest" && pwd)
x86_64-w64-mingw32-strip -o "$dest/kvtapefw.exe" "$build/kvtapefw.exe"
# Windows tools expect CRLF line ends in text files handed to people.
sed 's/\r*$/\r/' "$root/examples/windows-release/fwimage/firmware.cfg" >"$dest/fwimage/firmware.cfg"
sed 's/\r*$/\r/' "$root/README.md" >"$dest/README.md"
cp "$root/docs/run-report.schema.json" "$dest/"

# Windows ships these DLLs itself (bcrypt: CNG, the SHA-256, since Vista).
dlls=$(x86_64-w64-mingw32-objdump -p "$dest/kvtapefw.exe" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')
foreign=$(tr ' ' '\n' <<<"$dlls" | grep -viE '^(kernel32|msvcrt|shell32|advapi32|user32|ws2_32|ole32|bcrypt)\.dll$' | grep . || true)
[ -z "$foreign" ] || fail "kvtapefw.exe needs DLLs Windows does not ship: $foreign"

# The version resource as Windows shows it in the file's properties, read
# back by windres from the stripped file that ships.
resource=$(x86_64-w64-mingw32-windres -J coff -i "$dest/kvtapefw.exe" -O rc) || fail "cannot read kvtapefw.exe's resources"
IFS=. read -r major minor patch <<<"$version"
for expected in "FILEVERSION $major, $minor, $patch, 0" "PRODUCTVERSION $major, $minor, $patch, 0" \
  "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
  'VALUE "ProductName", "kvtapefw"' 'VALUE "FileDescription", "kvtapefw: '; do
  grep -qF "$expected" <<<"$resource" || fail "kvtapefw.exe's version resource lacks: $expected"
done

# The README a recipient reads names the version they hold.
grep -qF "The version ($version)" "$root/README.md" || fail "README.md does not name version $version"

# The archive, and the checksums of everything handed out.
out=$(dirname "$dest")
name=kvtapefw-$version-win64
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp -R "$dest" "$stage/$name"
rm -f "$out/$name.zip"
(cd "$stage" && zip -qrX "$out/$name.zip" "$name")
(cd "$out" && find "$(basename "$dest")" -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum && sha256sum "$name.zip") >"$stage/SHA256SUMS"
mv "$stage/SHA256SUMS" "$out/SHA256SUMS"

# Checked as a recipient would: the sums, and the archive unpacked whole.
(cd "$out" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match"
unzip -q "$out/$name.zip" -d "$stage/unpacked"
[ "$(ls "$stage/unpacked")" = "$name" ] || fail "$name.zip holds more than its folder $name"
diff -r "$dest" "$stage/unpacked/$name" || fail "$name.zip differs from $dest"

echo "Release folder: $dest"
echo "kvtapefw.exe imports only system DLLs: $dlls"
echo "kvtapefw.exe's version resource: $version"
ls -l "$dest" "$dest/fwimage" "$out/$name.zip"
cat "$out/SHA256SUMS"
