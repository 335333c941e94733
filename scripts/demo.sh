#!/usr/bin/env bash
# Installs what is missing, builds, and runs the default mode (upgrade all)
# twice on the shipped example: a simulated bus of five devices and a firmware
# catalogue. The first run flashes three drives, the second finds every drive
# current. Everything happens in a scratch copy; the example stays untouched
# (the simulated bus rewrites its bus file when a drive takes up firmware).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build/normal"

scratch=$(mktemp -d)
cp -R "$root/examples/." "$scratch/"
mkdir -p "$scratch/sysdrive/vtxsystem/log"
log="$scratch/sysdrive/vtxsystem/log/vtxsetup.log"
cd "$scratch"

run() {
  echo "== kvtapefw (upgrade all) in $scratch, run $1"
  set +e
  KVFW_SIM_BUS="$scratch/bus.json" KVFW_SIM_TRACE="$scratch/trace.txt" systemdrive="$scratch/sysdrive" \
    "$root/build/normal/kvtapefw"
  code=$?
  set -e
  echo "== exit code $code"
}

run 1
echo "== setup log after run 1"
cat "$log"
lines=$(wc -l <"$log")

run 2
echo "== setup log lines of run 2"
tail -n +"$((lines + 1))" "$log"
echo "== simulated transport trace: $scratch/trace.txt"
