#!/usr/bin/env bash
# Installs what is missing, builds and runs every test twice: a normal build
# and one with AddressSanitizer and UndefinedBehaviorSanitizer; builds and
# checks the Debian package; then the Windows build, its tests and end-to-end
# runs under Wine, and the Windows release with its archive and checksums;
# then the program (native and, with the Windows part, kvtapefw.exe under
# Wine) on a real kernel's SCSI stack in a VM. KVFW_SKIP_WINDOWS=1 leaves the
# Windows part out, for quick local runs only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${KVFW_SKIP_WINDOWS:-0}" = 1 ]; then "$root/scripts/install-deps.sh"; else "$root/scripts/install-deps.sh" windows; fi

run_suite() {
  local dir=$1; shift
  echo "== build $dir"
  "$root/scripts/build.sh" "$dir" "$@"
  echo "== test $dir"
  ctest --test-dir "$dir" --output-on-failure --timeout 300 -j"$(nproc)"
}

run_suite "$root/build/normal"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_suite "$root/build/sanitize" -DKVFW_SANITIZE=ON
echo "== fleet rollout (deploy/ansible) on the native build"
"$root/scripts/ansible-test.sh" "$root/build/normal/kvtapefw"
echo "== Debian package (scripts/package-test.sh)"
"$root/scripts/package-test.sh" "$root/build/normal/kvtapefw"

if [ "${KVFW_SKIP_WINDOWS:-0}" = 1 ]; then
  echo "== Windows part skipped (KVFW_SKIP_WINDOWS=1)"
else
  "$root/scripts/windows/test.sh" "$root/build/normal"
  echo "== Windows release (scripts/windows/release.sh)"
  "$root/scripts/windows/release.sh"
fi

echo "== real SCSI stack (scripts/real-stack-test.sh)"
if [ "${KVFW_SKIP_WINDOWS:-0}" = 1 ]; then
  "$root/scripts/real-stack-test.sh"
else
  "$root/scripts/real-stack-test.sh" --windows
fi
