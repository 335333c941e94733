#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh) and checks it from outside:
# the manual page passes mandoc's lint; lintian finds no tag, informational
# ones included; the package holds the files the README lists; and, unpacked
# into a throw-away root, the installed program runs the demo (the two runs
# of scripts/demo.sh on the installed examples) with the same exit codes,
# console, setup log, trace and bus file as the reference program.
#
# Usage: scripts/package-test.sh [reference kvtapefw] (the native build's by default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
reference=$(realpath "${1:-$root/build/normal/kvtapefw}")

fail() {
  echo "package-test: FAILED: $*" >&2
  exit 1
}
[ -x "$reference" ] || fail "no program at $reference (build it first)"
work=$(mktemp -d /tmp/kvtapefw-package.XXXXXX)
trap '[ "${KVFW_KEEP_SCRATCH:-0}" = 1 ] || rm -rf "$work"' EXIT

echo "== mandoc -T lint docs/kvtapefw.8 docs/kvtapefw-sign-catalogue.1"
mandoc -T lint -W warning "$root/docs/kvtapefw.8" "$root/docs/kvtapefw-sign-catalogue.1" ||
  fail "mandoc warns about a manual page"

echo "== build the package"
deb=$("$root/scripts/package.sh" | tail -n 1)
echo "== lintian $deb"
lintian --display-info --fail-on error,warning,info "$deb" 2>&1 | { grep -v 'running with root privileges' || true; } \
  || fail "lintian tags the package"

echo "== contents"
installed=$work/root
dpkg-deb -x "$deb" "$installed"
doc=$installed/usr/share/doc/kvtapefw
[ -x "$installed/usr/sbin/kvtapefw" ] || fail "no /usr/sbin/kvtapefw"
[ -d "$installed/var/lib/kvtapefw/vtxsystem/log" ] || fail "no setup log folder"
[ -d "$installed/etc/kvtapefw/trusted-keys" ] || fail "no trusted-keys folder"
[ -z "$(ls -A "$installed/etc/kvtapefw/trusted-keys")" ] || fail "the trusted-keys folder is not empty"
cmp "$doc/copyright" "$root/packaging/copyright" || fail "copyright file differs"
gzip -dc "$installed/usr/share/man/man8/kvtapefw.8.gz" | cmp - "$root/docs/kvtapefw.8" || fail "manual page differs"
gzip -dc "$doc/changelog.gz" | cmp - "$root/packaging/changelog" || fail "changelog differs"
cmp "$doc/README.md" "$root/README.md" || fail "README differs"
for file in run-report.schema.json drive-list.schema.json history.schema.json simulated-bus.md; do
  cmp "$doc/$file" "$root/docs/$file" || fail "$file differs"
done
# The examples, but not the Windows release's files.
diff -r -x windows-release "$doc/examples" "$root/examples" || fail "examples differ"
[ ! -e "$doc/examples/windows-release" ] || fail "Windows release files in the Linux package"
# The signing script, under the name the manual page gives it.
cmp "$installed/usr/bin/kvtapefw-sign-catalogue" "$root/scripts/sign-catalogue.sh" || fail "no kvtapefw-sign-catalogue"
[ -x "$installed/usr/bin/kvtapefw-sign-catalogue" ] || fail "kvtapefw-sign-catalogue is not executable"
gzip -dc "$installed/usr/share/man/man1/kvtapefw-sign-catalogue.1.gz" | cmp - "$root/docs/kvtapefw-sign-catalogue.1" ||
  fail "the signing script's manual page differs"
dpkg-deb -f "$deb" Suggests | grep -q 'sg3-utils' || fail "the package does not suggest sg3-utils"
# The role and playbooks as in the tree, their READMEs with the documentation.
diff -r -x README.md -x __pycache__ -x '*.pyc' "$installed/usr/share/kvtapefw/ansible" "$root/deploy/ansible" ||
  fail "the role and playbooks differ"
[ -z "$(find "$installed/usr/share/kvtapefw" -name 'README*')" ] || fail "a README outside the documentation"
cmp "$doc/ansible-role.md" "$root/deploy/ansible/roles/kvtapefw/README.md" || fail "the role's README differs"

echo "== logrotate rule"
rule=$installed/etc/logrotate.d/kvtapefw
[ -f "$rule" ] || fail "no logrotate rule"
dpkg-deb -I "$deb" conffiles | grep -qx /etc/logrotate.d/kvtapefw || fail "the logrotate rule is no conffile"
# logrotate -d reads the rule and says what it would do, changing nothing.
logrotate -d -s "$work/logrotate.state" "$rule" >"$work/logrotate.txt" 2>&1 ||
  { cat "$work/logrotate.txt"; fail "logrotate refuses the rule"; }
for expected in 'rotating pattern: /var/lib/kvtapefw/vtxsystem/log/vtxsetup.log  weekly (12 rotations)' \
  'old logs are removed' 'considering log /var/lib/kvtapefw/vtxsystem/log/vtxsetup.log'; do
  grep -q "$expected" "$work/logrotate.txt" || { cat "$work/logrotate.txt"; fail "logrotate: no '$expected'"; }
done
grep -q 'history' "$rule" && fail "the logrotate rule touches the run history"
for option in weekly 'rotate 12' compress copytruncate missingok notifempty; do
  grep -qx "[[:space:]]*$option" "$rule" || fail "the logrotate rule lacks $option"
done

echo "== purge"
# The package's own postrm, run as dpkg runs it for a throw-away root
# (DPKG_ROOT): a removal keeps the setup log, a purge removes the folder.
dpkg-deb -e "$deb" "$work/control"
purged=$work/purged
mkdir -p "$purged/var/lib/kvtapefw/vtxsystem/log"
echo "a line" >"$purged/var/lib/kvtapefw/vtxsystem/log/vtxsetup.log"
echo "{}" >"$purged/var/lib/kvtapefw/history.jsonl"
DPKG_ROOT=$purged sh "$work/control/postrm" remove || fail "postrm remove failed"
[ -f "$purged/var/lib/kvtapefw/vtxsystem/log/vtxsetup.log" ] || fail "a removal took the setup log"
[ -f "$purged/var/lib/kvtapefw/history.jsonl" ] || fail "a removal took the run history"
DPKG_ROOT=$purged sh "$work/control/postrm" purge || fail "postrm purge failed"
[ ! -e "$purged/var/lib/kvtapefw" ] || fail "purge left /var/lib/kvtapefw"

# The demo's two runs of upgrade all, in a scratch copy of EXAMPLES; prints
# the exit codes and console, then the setup log, the trace and the bus file,
# with the scratch folder's path replaced by a fixed name.
demo_runs() {
  local program=$1 examples=$2 scratch=$3 run code
  mkdir -p "$scratch/sysdrive/vtxsystem/log"
  cp -R "$examples/." "$scratch/"
  for run in 1 2; do
    (cd "$scratch" && KVFW_SIM_BUS="$scratch/bus.json" KVFW_SIM_TRACE="$scratch/trace.txt" \
      systemdrive="$scratch/sysdrive" "$program" 2>&1) && code=0 || code=$?
    echo "== exit code of run $run: $code"
  done
  cat "$scratch/sysdrive/vtxsystem/log/vtxsetup.log" "$scratch/trace.txt" "$scratch/bus.json" 2>&1 || true
}
echo "== demo of the installed program against $reference"
demo_runs "$installed/usr/sbin/kvtapefw" "$doc/examples" "$work/installed" | sed "s|$work/installed|SCRATCH|g" >"$work/installed.txt"
demo_runs "$reference" "$root/examples" "$work/reference" | sed "s|$work/reference|SCRATCH|g" >"$work/reference.txt"
diff "$work/reference.txt" "$work/installed.txt" || fail "the installed program's demo differs"
[ "$(grep '^== exit code' "$work/installed.txt" | tr '\n' ' ')" = "== exit code of run 1: 1 == exit code of run 2: 1 " ] \
  || fail "the demo's runs did not both end Success (exit code 1)"
# The setup log of both runs: three drives flashed, by the first run alone
# (a second run that flashed would add lines).
[ "$(grep -c 'firmware is being flashed' "$work/installed.txt")" = 3 ] || fail "the demo did not flash three drives"
echo "package-test: passed ($(basename "$deb"))"
