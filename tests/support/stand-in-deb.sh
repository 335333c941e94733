#!/usr/bin/env bash
# Builds a Debian package named kvtapefw around a given program, laid out as
# the real package installs it (/usr/sbin/kvtapefw and the setup log's folder
# /var/lib/kvtapefw/vtxsystem/log), its dependencies being the packages that
# hold the libraries the program loads. The fleet rollout test installs it
# through the role when no package built by scripts/package.sh is given, so
# that the role's package path is rehearsed without a release build.
#
# Usage: tests/support/stand-in-deb.sh PROGRAM OUTPUT_FOLDER (prints the package's path)
set -euo pipefail
program=$(realpath "$1")
out=$(realpath "$2")
tree=$(mktemp -d)
chmod 0755 "$tree"
trap 'rm -rf "$tree"' EXIT
install -D -m 0755 "$program" "$tree/usr/sbin/kvtapefw"
install -d -m 0755 "$tree/var/lib/kvtapefw/vtxsystem/log" "$tree/DEBIAN"
depends=$(ldd "$program" | awk '$2 == "=>" && $3 ~ /^\// { print $3 }' | while read -r library; do
  dpkg -S "$library" 2>/dev/null || dpkg -S "$(realpath "$library")" 2>/dev/null || true
done | cut -d: -f1 | sort -u | paste -sd, - | sed 's/,/, /g')
cat >"$tree/DEBIAN/control" <<EOF
Package: kvtapefw
Version: 0.0.0~rehearsal
Architecture: $(dpkg --print-architecture)
Maintainer: kvtapefw developers <maintainers@kvtapefw.example>
Depends: ${depends:-libc6}
Section: admin
Priority: optional
Description: kvtapefw for a rehearsal of the fleet rollout
 A stand-in for the released package, holding the program under test.
EOF
deb=$out/kvtapefw_0.0.0~rehearsal_$(dpkg --print-architecture).deb
dpkg-deb --root-owner-group --build "$tree" "$deb" >/dev/null
echo "$deb"
