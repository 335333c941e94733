#!/usr/bin/env bash
# Runs kvtapefw.exe under Wine end to end and compares each run with the
# native build on the same input: e2e.sh NATIVE_BUILD_DIR WINDOWS_BUILD_DIR
#
#   /h                        usage text, exit code -1 (seen as 255)
#   no option, no tape device the real pass-through: every \\.\TAPE<N> fails
#                             to open, result code 3; traced with KVFW_TRACE
#   /d, /u, default mode      on a simulated bus named in Windows form, setup
#                             log in %systemdrive%\vtxsystem\log inside the
#                             Wine prefix, XML document under C:\<folder>\
#
# Console text and setup log must match byte for byte once Windows' CRLF
# line ends are read as LF; the XML document, the trace (KVFW_SIM_TRACE on
# the simulated bus, KVFW_TRACE on the real pass-through) and the bus file
# (the drives' firmware afterwards) must match exactly; standard
# error holds only the simulated bus's notice.
set -euo pipefail
source "$(dirname "$0")/common.sh"
native=$(cd "$1" && pwd)/kvtapefw
windows_dir=$(cd "$2" && pwd)
exe=$windows_dir/kvtapefw.exe
[ -x "$native" ] || { echo "no native build at $native" >&2; exit 1; }
[ -f "$exe" ] || { echo "no Windows build at $exe" >&2; exit 1; }

use_wine_prefix "$windows_dir/wineprefix"
start_wine
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kvtapefw-e2e.XXXXXX")
drive_c=$WINEPREFIX/drive_c
# KVFW_E2E_KEEP=1 keeps every run's files for a look afterwards.
cleanup() {
  stop_wine
  rm -rf "$drive_c/kvfw-e2e" "$drive_c/vtxsystem"
  if [ "${KVFW_E2E_KEEP:-0}" = 1 ]; then echo "Runs kept in $scratch"; else rm -rf "$scratch"; fi
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Wine maps the Unix root to drive Z:.
windows_path() { local path=${1//\//\\}; echo "Z:$path"; }

# One run of each build in a fresh folder:
#   run_case NAME EXIT_CODE LOG BUS NATIVE_XML WINDOWS_XML ARGS...
# LOG is "log" when the run must leave lines in the setup log; BUS is "bus"
# for a run on a fresh copy of the simulated bus and firmware folder; the
# word XML in ARGS stands for each build's document path.
run_case() {
  local name=$1 expected=$2 want_log=$3 with_bus=$4 native_xml=$5 windows_xml=$6; shift 6
  local failures_before=$failures
  local n=$scratch/$name/native w=$scratch/$name/windows
  mkdir -p "$n/sysdrive/vtxsystem/log" "$w"
  rm -rf "$drive_c/vtxsystem" "$drive_c/kvfw-e2e"
  mkdir -p "$drive_c/vtxsystem/log"
  local native_args=() windows_args=() arg
  for arg in "$@"; do
    if [ "$arg" = XML ]; then native_args+=("$native_xml"); windows_args+=("$windows_xml")
    else native_args+=("$arg"); windows_args+=("$arg"); fi
  done
  # The native run keeps its history and lock in its own folder, never the host's.
  local native_env=(systemdrive="$n/sysdrive" KVFW_REPORT="$n/report.json" KVFW_STATE_DIR="$n"
                    KVFW_LOCK="$n/kvtapefw.lock")
  local windows_env=(KVFW_REPORT="$(windows_path "$w/report.json")")
  if [ "$with_bus" = bus ]; then
    for dir in "$n" "$w"; do cp -r "$scratch/fixture/fwimage" "$scratch/fixture/bus.json" "$dir/"; done
    native_env+=(KVFW_SIM_BUS="$n/bus.json" KVFW_SIM_TRACE="$n/trace.txt")
    windows_env+=(KVFW_SIM_BUS="$(windows_path "$w/bus.json")" KVFW_SIM_TRACE="$(windows_path "$w/trace.txt")")
  else
    native_env+=(KVFW_TRACE="$n/trace.txt")
    windows_env+=(KVFW_TRACE="$(windows_path "$w/trace.txt")")
  fi
  # A document from an earlier case, for the upgrade from XML mode.
  if [ -f "$scratch/native.xml" ]; then
    mkdir -p "$n/kvfw-e2e"
    cp "$scratch/native.xml" "$n/kvfw-e2e/discovery.xml"
  fi
  if [ -f "$scratch/windows.xml" ]; then
    mkdir -p "$drive_c/kvfw-e2e"
    cp "$scratch/windows.xml" "$drive_c/kvfw-e2e/discovery.xml"
  fi

  local native_code=0 windows_code=0
  (cd "$n" && env -u KVFW_SIM_BUS -u KVFW_SIM_TRACE -u KVFW_TRACE "${native_env[@]}" "$native" "${native_args[@]}" \
     >"$n/console" 2>"$n/stderr") || native_code=$?
  # Wine's own SystemDrive (C:) is the one the Windows program must use.
  (cd "$w" && env -u systemdrive -u KVFW_SIM_BUS -u KVFW_SIM_TRACE -u KVFW_TRACE "${windows_env[@]}" \
     wine "$exe" "${windows_args[@]}" >"$w/console.crlf" 2>"$w/stderr") || windows_code=$?
  cp "$drive_c/vtxsystem/log/vtxsetup.log" "$w/log.crlf" 2>/dev/null || : >"$w/log.crlf"
  cp "$n/sysdrive/vtxsystem/log/vtxsetup.log" "$n/log" 2>/dev/null || : >"$n/log"

  # The document's folder is the one thing the two consoles may differ in:
  # the native run names it relative, the Windows run with its drive.
  sed -e 's/\r$//' -e 's|C:\\kvfw-e2e|kvfw-e2e|g' "$w/console.crlf" >"$w/console"
  sed 's/\r$//' "$w/log.crlf" >"$w/log"

  [ "$windows_code" = "$expected" ] || fail "$name: Windows exit code $windows_code, expected $expected"
  [ "$native_code" = "$expected" ] || fail "$name: native exit code $native_code, expected $expected"
  diff -u "$n/console" "$w/console" >"$w/console.diff" || { fail "$name: console text differs"; cat "$w/console.diff"; }
  diff -u "$n/log" "$w/log" >"$w/log.diff" || { fail "$name: setup log differs"; cat "$w/log.diff"; }
  if [ "$want_log" = log ] && [ ! -s "$w/log" ]; then fail "$name: nothing in the setup log"; fi
  # Every run but /h reaches the transport and leaves a trace.
  if [ "$expected" != 255 ] && [ ! -s "$w/trace.txt" ]; then fail "$name: no trace"; fi
  if [ -f "$n/trace.txt" ] || [ -f "$w/trace.txt" ]; then
    diff -u "$n/trace.txt" "$w/trace.txt" >"$w/trace.diff" || { fail "$name: trace differs"; head -n 40 "$w/trace.diff"; }
  fi
  if [ "$with_bus" = bus ]; then
    diff -u "$n/bus.json" "$w/bus.json" >"$w/bus.diff" || { fail "$name: drives differ afterwards"; cat "$w/bus.diff"; }
  fi
  # Every run past the command line leaves a valid run report, and the two
  # builds' reports say the same but for the host, the clock and the paths.
  if [ "$expected" = 255 ]; then
    [ ! -e "$n/report.json" ] && [ ! -e "$w/report.json" ] || fail "$name: a report from a rejected command line"
  elif "$root/tests/support/check_report.py" "$root/docs/run-report.schema.json" "$n/report.json" "$w/report.json"; then
    python3 - "$n/report.json" "$w/report.json" <<'PY' || fail "$name: the run reports differ"
import json, sys
def same_part(path):
    report = json.load(open(path, encoding="utf-8"))
    for field in ("host", "started", "finished", "document", "setup_log"):
        report.pop(field)
    # Each system names a tape device its own way (/dev/nst0, \\.\TAPE0),
    # and only Linux can tell whether its tape driver is loaded.
    for device in report["devices"]:
        device.pop("node")
    if report.get("warning"):
        report["warning"] = report["warning"].split(";")[0]
    return report
native, windows = map(same_part, sys.argv[1:])
if native != windows:
    print(json.dumps(native, indent=1), json.dumps(windows, indent=1))
    sys.exit(1)
PY
  else
    fail "$name: the run reports are missing or not valid"
  fi
  # On the simulated bus each build says so, naming the bus file as it was
  # given; otherwise standard error stays empty.
  local native_banner="" windows_banner=""
  if [ "$with_bus" = bus ]; then
    native_banner="kvtapefw: simulated bus $n/bus.json: no real drive is touched"
    windows_banner="kvtapefw: simulated bus $(windows_path "$w/bus.json"): no real drive is touched"
  elif [ "$expected" = 3 ]; then
    # No tape device at all is said; on Linux with whether st is loaded.
    windows_banner="kvtapefw: no tape device was found"
    case $(cat "$n/stderr") in
      "$windows_banner; the st driver is loaded" | "$windows_banner; the st driver is not loaded") native_banner=$(cat "$n/stderr") ;;
      *) native_banner="$windows_banner; the st driver is (not) loaded" ;;
    esac
  fi
  if [ "$(cat "$n/stderr")" != "$native_banner" ] || [ "$(sed 's/\r$//' "$w/stderr")" != "$windows_banner" ]; then
    fail "$name: unexpected standard error"; cat "$n/stderr" "$w/stderr"
  fi
  if [ "$failures" -eq "$failures_before" ]; then echo "ok   $name (exit code $windows_code)"; fi
}

# Two drives of the two download procedures, both one version behind the
# catalogue.
mkdir -p "$scratch/fixture/fwimage"
cat >"$scratch/fixture/bus.json" <<'JSON'
{
  "command_ms": 1,
  "drives": [
    {"address": 0, "vendor": "KV", "product": "ULTRIUM-HH6", "layout": "ultrium",
     "firmware": "2.05", "hw_config": "0x00a4", "lto": true},
    {"address": 3, "vendor": "KV", "product": "KTR320", "layout": "other",
     "firmware": "1.10", "hw_config": "0x0320", "lto": false}
  ]
}
JSON
make_image() {
  { printf 'KV firmware image FWVERSION=%s\n' "$2"; head -c 70000 /dev/zero; } >"$scratch/fixture/fwimage/$1"
}
make_image HH6.BIN 2.10
make_image KTR.BIN 1.20
# The HH6 image carries its checksum (from sha256sum): both builds must hash
# the same file to the same digest, or that drive is not flashed.
hh6_sha256=$(sha256sum "$scratch/fixture/fwimage/HH6.BIN" | cut -c1-64)
printf '$ drive ID|image file|version|checksum\r\n0xa4|hh6.bin|2.10|sha256:%s\r\n0x320|KTR.BIN|1.20\r\n' \
  "$hh6_sha256" >"$scratch/fixture/fwimage/firmware.cfg"

native_xml=kvfw-e2e/discovery.xml
windows_xml='C:\kvfw-e2e\discovery.xml'

run_case help 255 log nobus - - /h
run_case no-tape-device 3 log nobus - -
run_case discover 1 nolog bus "$native_xml" "$windows_xml" /d XML
cp "$scratch/discover/native/$native_xml" "$scratch/native.xml" 2>/dev/null || fail "discover: no native document"
cp "$drive_c/kvfw-e2e/discovery.xml" "$scratch/windows.xml" 2>/dev/null || fail "discover: no document at $windows_xml"
if [ -f "$scratch/native.xml" ] && [ -f "$scratch/windows.xml" ]; then
  cmp -s "$scratch/native.xml" "$scratch/windows.xml" || fail "discover: the documents differ"
fi
run_case upgrade-from-xml 1 log bus "$native_xml" "$windows_xml" /u XML
rm -f "$scratch/native.xml" "$scratch/windows.xml"
run_case upgrade-all 1 log bus - - /a

if [ "$failures" -ne 0 ]; then
  echo "Windows end-to-end runs: $failures failure(s)"
  exit 1
fi
echo "Windows end-to-end runs: all passed"
