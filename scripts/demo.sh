#!/usr/bin/env bash
# Installs what the demo needs (compilers and the program's libraries, not the
# test suite's tools), builds the kvtapefw program alone, and runs the default
# mode (upgrade all) twice on the shipped example: a simulated bus of five
# devices and a firmware catalogue. The first run flashes three drives, the
# second finds every drive current. Everything happens in a scratch copy,
# whose path is printed; the example stays untouched (the simulated bus
# rewrites its bus file when a drive takes up firmware). The scratch folder is
# removed at the end unless KVFW_KEEP_SCRATCH=1.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" demo
# A build folder of its own, without the tests (whose libraries the demo does
# not install); scripts/test.sh builds build/normal with them.
build=$root/build/demo
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVFW_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target kvtapefw -j"$(nproc)" -- --no-print-directory | { grep -Ev '^\[ *[0-9]+%\]' || true; }

scratch=$(mktemp -d /tmp/kvtapefw-demo.XXXXXX)
if [ "${KVFW_KEEP_SCRATCH:-0}" = 1 ]; then
  trap 'echo "== the scratch folder stays: $scratch"' EXIT
else
  trap 'rm -rf "$scratch"; echo "== removed the scratch folder $scratch (KVFW_KEEP_SCRATCH=1 keeps it)"' EXIT
fi
echo "== scratch folder: $scratch"
cp -R "$root/examples/." "$scratch/"
mkdir -p "$scratch/sysdrive/vtxsystem/log"
log="$scratch/sysdrive/vtxsystem/log/vtxsetup.log"
cd "$scratch"

run() {
  echo "== kvtapefw (upgrade all) in $scratch, run $1"
  set +e
  KVFW_SIM_BUS="$scratch/bus.json" KVFW_SIM_TRACE="$scratch/trace.txt" systemdrive="$scratch/sysdrive" \
    "$build/kvtapefw"
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
echo "== the host's history of the two runs (kvtapefw --history)"
KVFW_SIM_BUS="$scratch/bus.json" "$build/kvtapefw" --history 2>/dev/null
echo "== simulated transport trace: $scratch/trace.txt, $(wc -l <"$scratch/trace.txt") lines"
