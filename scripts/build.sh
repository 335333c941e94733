#!/usr/bin/env bash
# Configures and builds one native build folder: build.sh DIR [cmake options...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
# Progress lines are dropped. A build that prints nothing else is no failure,
# and with pipefail a failed build fails this script.
cmake --build "$dir" -j"$(nproc)" -- --no-print-directory | { grep -Ev '^\[ *[0-9]+%\]' || true; }
