#!/usr/bin/env bash
# Installs what is missing, builds, and runs the default mode (upgrade all).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build/normal"

scratch=$(mktemp -d)
mkdir -p "$scratch/sysdrive/vtxsystem/log"
cd "$scratch"
echo "== kvtapefw (upgrade all) in $scratch"
set +e
systemdrive="$scratch/sysdrive" "$root/build/normal/kvtapefw"
code=$?
set -e
echo "== exit code $code"
echo "== setup log"
cat "$scratch/sysdrive/vtxsystem/log/vtxsetup.log"
