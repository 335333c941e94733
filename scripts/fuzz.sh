#!/usr/bin/env bash
# Randomized whole runs of kvtapefw on the simulated bus, checked by one
# oracle (tests/whole_run_fuzz.py). CTest runs a fixed set of seeds
# (KVFW_FUZZ_SEEDS in tests/CMakeLists.txt); this runs others:
#   scripts/fuzz.sh --minutes N [--from S]   seeds from S (default: a random one) for N minutes
#   scripts/fuzz.sh --seed S [--show]        one seed; --show prints each run's console
#   scripts/fuzz.sh --seeds 1-200,512        a list
# --keep DIR keeps each seed's folder (bus file, trace, report, setup log);
# KVFW_PROGRAM names the program (default build/normal/kvtapefw, as
# scripts/build.sh build/normal makes it). A failing seed prints its
# problems, its bus file, catalogue and the command lines; the exit code is 1.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
program=${KVFW_PROGRAM:-$root/build/normal/kvtapefw}
[ -x "$program" ] || { echo "fuzz.sh: $program is not built (scripts/build.sh build/normal)" >&2; exit 2; }
args=()
while [ $# -gt 0 ]; do
  case $1 in
    --seed) args+=(--seeds "$2"); shift 2 ;;
    *) args+=("$1"); shift ;;
  esac
done
exec python3 "$root/tests/whole_run_fuzz.py" --program "$program" "${args[@]}"
