#!/usr/bin/env bash
# Installs what is missing, builds and runs every test twice: a normal build
# and one with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

run_suite() {
  local dir=$1; shift
  echo "== build $dir"
  "$root/scripts/build.sh" "$dir" "$@"
  echo "== test $dir"
  ctest --test-dir "$dir" --output-on-failure --timeout 300 -j"$(nproc)"
}

run_suite "$root/build/normal"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_suite "$root/build/sanitize" -DKVFW_SANITIZE=ON
