#!/usr/bin/env bash
# The program on a real kernel's SCSI stack: the three modes on a bus of
# several drives (KTR320, LTO, non-LTO, one already current, another vendor's,
# a refused image, a failed download and a short answer) must end exactly as the same runs on the
# simulated bus: exit code, console, discovery document, setup log and the
# drives' final firmware. Beside them: busy and unreachable tape devices, a
# drive another host has reserved, and a program stopped and continued while
# it sends an image. sg3_utils checks the drive model from outside. All runs
# share one VM and run side by side, so their settle waits overlap.
#
#   real-stack-test.sh [--windows]   (--windows adds the same runs of kvtapefw.exe under Wine)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
program=$root/build/normal/kvtapefw
with_windows=0
[ "${1:-}" != --windows ] || with_windows=1
work=$(mktemp -d "${TMPDIR:-/tmp}/kvtapefw-real-stack-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
started=$(date +%s)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

mkdir -p "$root/build/normal"
flock "$root/build/normal/.real-stack-build.lock" "$root/scripts/build.sh" "$root/build/normal"

# Five drives: a Wine prefix reaches no more tape devices.
cat >"$work/bus.json" <<'JSON'
{
  "command_ms": 1,
  "drives": [
    {"address": 0, "product": "KTR320", "layout": "other", "firmware": "1.10", "hw_config": "0x0320", "lto": false,
     "faults": [{"cdb": "3b04", "skip": 1, "count": 1, "reply": "check", "sense": "04 44 00"}]},
    {"address": 1, "product": "ULTRIUM-HH6", "firmware": "2.05", "hw_config": "0x00a4"},
    {"address": 2, "product": "VXA-320", "layout": "other", "firmware": "3.00", "hw_config": "0x0b20", "lto": false},
    {"address": 3, "product": "ULTRIUM-HH8", "inquiry_number": "8", "firmware": "4.20", "hw_config": "0x00c8"},
    {"address": 5, "vendor": "ACME", "product": "ULTRIUM-HH6", "firmware": "1.00", "hw_config": "0x00a4",
     "faults": [{"cdb": "12 00", "count": 1, "reply": "short", "moved": 20}]}
  ]
}
JSON
# The catalogue's VXA-320 image is built for another hardware configuration:
# the drive refuses it and keeps its firmware.
mkdir -p "$work/fwimage"
cp "$root"/examples/fwimage/{firmware.cfg,KTR320.BIN,HH6.BIN,HH8.BIN} "$work/fwimage/"
{ printf 'FWVERSION=3.10\nHWCONF=0x0b99\n'; head -c 3000 /dev/zero; } >"$work/fwimage/VXA320.BIN"

# The selection document for the upgrade from XML: the discovery of this bus.
mkdir -p "$work/selection"
(cd "$work/selection" && cp -r "$work/fwimage" . && cp "$work/bus.json" . &&
  KVFW_SIM_BUS=bus.json systemdrive="$work/selection" "$program" /d selection.xml >/dev/null 2>&1) || true
[ -s "$work/selection/selection.xml" ] || { echo "FAIL: no selection document"; exit 1; }

batch=$work/batch
# add_run NAME MODE ARGS...: a run on the real stack (job NAME) and its twin
# on the simulated bus (folder NAME.sim), each in a folder of its own.
add_run() {
  local name=$1 mode=$2; shift 2
  local job=$batch/$name dir
  for dir in "$work/$name" "$work/$name.sim"; do
    mkdir -p "$dir/sysdrive/vtxsystem/log"
    cp -r "$work/fwimage" "$work/bus.json" "$work/selection/selection.xml" "$dir/"
  done
  mkdir -p "$job"
  echo "$work/$name/bus.json" >"$job/bus"
  echo "$mode" >"$job/mode"
  echo "$work/$name" >"$job/cwd"
  echo "$work/$name/sysdrive" >"$job/systemdrive"
  if [ $# -gt 0 ]; then printf '%s\0' "$@" >"$job/args"; else : >"$job/args"; fi
  (cd "$work/$name.sim" && KVFW_SIM_BUS=bus.json systemdrive="$work/$name.sim/sysdrive" "$program" "$@" \
    >console 2>/dev/null; echo $? >rc) || true
}
add_run discover native /d discover.xml
add_run upgrade-all native
add_run upgrade-xml native /u selection.xml
if [ "$with_windows" = 1 ]; then
  add_run discover-win windows /d discover.xml
  add_run upgrade-all-win windows
  add_run upgrade-xml-win windows /u selection.xml
fi

# sg3_utils on a bus of its own: an LTO drive that takes an image and
# reboots for 5 s, and a drive of the other layout.
mkdir -p "$work/sg" "$batch/sg"
cat >"$work/sg/bus.json" <<'JSON'
{"drives": [
  {"address": 0, "product": "ULTRIUM-HH6", "firmware": "2.05", "hw_config": "0x00a4", "reboot_seconds": 5},
  {"address": 2, "product": "VXA-320", "layout": "other", "firmware": "3.00", "hw_config": "0x0b20", "lto": false}
]}
JSON
{ printf 'FWVERSION=2.10\nHWCONF=0x00a4\n'; head -c 100000 /dev/zero; } >"$work/sg/image.bin"
echo "$work/sg/bus.json" >"$batch/sg/bus"
echo command >"$batch/sg/mode"
echo "$work/sg" >"$batch/sg/cwd"
printf '%s\0' bash "$root/scripts/real-stack/sg-checks.sh" \
  "0:KV:ULTRIUM-HH6:ultrium:2.05:0x00a4:$work/sg/image.bin:2.10" "2:KV:VXA-320:other:3.00:0x0b20" >"$batch/sg/args"

# The unit serial number as the model serves it (page 80h): sg3_utils reads
# it from outside, and the program's run report names it.
mkdir -p "$work/serial" "$batch/serial"
echo '{"drives": [{"address": 0, "product": "ULTRIUM-HH6", "firmware": "2.05", "hw_config": "0x00a4", "serial": "HU1234ABCD"}]}' \
  >"$work/serial/bus.json"
cp -r "$work/fwimage" "$work/serial/"
echo "$work/serial/bus.json" >"$batch/serial/bus"
echo command >"$batch/serial/mode"
echo "$work/serial" >"$batch/serial/cwd"
echo "$work/serial" >"$batch/serial/systemdrive"
mkdir -p "$work/serial/vtxsystem/log"
printf '%s\0' bash -c 'sg=/dev/$(awk '"'"'$1 == 0 { print $2 }'"'"' "$KVFW_REAL_STACK_JOB/devices")
  sg_inq -p 0x80 -r "$sg" >sg_inq.bin 2>/dev/null
  KVFW_REPORT=report.json "$0" /s /d serial.xml' "$program" >"$batch/serial/args"

# A tape device another program holds open is there but busy, and one whose
# generic node is missing (a container given only /dev/nst1) cannot be
# reached: each must be reported and left alone, never taken for an empty
# address. On the simulated bus that is a drive whose device does not open
# ("open": "fail"). Drive 2 is found as usual.
mkdir -p "$work/held" "$batch/held" "$work/held.sim"
held_bus() {  # held_bus OPEN: the bus with drive 0's and 1's "open" key
  echo '{"drives": [
  {"address": 0, "product": "ULTRIUM-HH6", "firmware": "2.05", "hw_config": "0x00a4", "open": "'"$1"'"},
  {"address": 1, "product": "ULTRIUM-HH8", "inquiry_number": "8", "firmware": "4.20", "hw_config": "0x00c8", "open": "'"$1"'"},
  {"address": 2, "product": "ULTRIUM-HH8", "inquiry_number": "8", "firmware": "4.20", "hw_config": "0x00c8"}
]}'
}
held_bus ok >"$work/held/bus.json"
held_bus fail >"$work/held.sim/bus.json"
cp -r "$work/fwimage" "$work/held/"
cp -r "$work/fwimage" "$work/held.sim/"
(cd "$work/held.sim" && KVFW_SIM_BUS=bus.json systemdrive="$work/held.sim" "$program" /d held.xml >console 2>/dev/null
  echo $? >rc) || true
echo "$work/held/bus.json" >"$batch/held/bus"
echo command >"$batch/held/mode"
echo "$work/held" >"$batch/held/cwd"
# A system drive of its own without the log's folder, like its twin's: the
# VM's /var/lib is shared by the jobs side by side, and one may have made it.
echo "$work/held" >"$batch/held/systemdrive"
printf '%s\0' bash -c 'exec 3</dev/nst0 && rm "/dev/$(awk '"'"'$1 == 1 { print $2 }'"'"' "$KVFW_REAL_STACK_JOB/devices")" &&
  "$0" /d held.xml' "$program" >"$batch/held/args"

# Another host holds drive 0 by a SCSI reservation, made through a second
# path to it. Upgrade all must leave that drive alone and fail, and flash
# drive 1 as usual. Under Wine RESERVE meets the RESERVATION CONFLICT; natively
# the tape driver's own TEST UNIT READY meets it first, so /dev/nst0 does not
# open and the device is reported as one that could not be examined.
other_host_names=(other-host)
[ "$with_windows" = 0 ] || other_host_names+=(other-host-win)
for name in "${other_host_names[@]}"; do
  mkdir -p "$batch/$name" "$work/$name.run/sysdrive/vtxsystem/log"
  echo '{"drives": [
  {"address": 0, "product": "ULTRIUM-HH6", "firmware": "2.05", "hw_config": "0x00a4"},
  {"address": 1, "product": "ULTRIUM-HH6", "firmware": "2.05", "hw_config": "0x00a4"}
]}' >"$work/$name.run/bus.json"
  cp -r "$work/fwimage" "$work/$name.run/"
  echo "$work/$name.run/bus.json" >"$batch/$name/bus"
  if [ "$name" = other-host ]; then echo native; else echo windows; fi >"$batch/$name/mode"
  echo "$work/$name.run" >"$batch/$name/cwd"
  echo "$work/$name.run/sysdrive" >"$batch/$name/systemdrive"
  printf '%s\0' /s >"$batch/$name/args"
  echo 0 >"$batch/$name/held_by_other_host"
done

# A process stopped and continued while it waits for a command (Ctrl-Z and
# fg) must not send that command again: every chunk of a 16 MiB image must
# reach the drive once, and the drive take the image up whole.
mkdir -p "$work/stopped/fwimage" "$work/stopped/sysdrive/vtxsystem/log" "$batch/stopped"
echo '{"drives": [{"address": 0, "product": "ULTRIUM-HH6", "firmware": "2.05", "hw_config": "0x00a4"}]}' \
  >"$work/stopped/bus.json"
{ printf 'FWVERSION=2.10\nHWCONF=0x00a4\n'; head -c 16777216 /dev/zero; } >"$work/stopped/fwimage/BIG.BIN"
echo '0x00a4|BIG.BIN|2.10' >"$work/stopped/fwimage/firmware.cfg"
echo "$work/stopped/bus.json" >"$batch/stopped/bus"
echo command >"$batch/stopped/mode"
echo "$work/stopped" >"$batch/stopped/cwd"
echo "$work/stopped/sysdrive" >"$batch/stopped/systemdrive"
printf '%s\0' bash "$root/scripts/real-stack/stop-continue.sh" "$program" /s >"$batch/stopped/args"

echo "== real stack: $(ls "$batch" | wc -l) runs side by side in one VM"
rc=0
"$root/scripts/real-stack.sh" --batch "$batch" || rc=$?
[ "$rc" = 0 ] || { echo "FAIL: real-stack.sh ended with $rc"; exit 1; }

firmware_of() { grep -o '"firmware": *"[^"]*"' "$1" | tr -d ' '; }
for job in "$batch"/*/; do
  name=$(basename "$job")
  case $name in sg | serial | held | other-host* | stopped) continue ;; esac
  real=$work/$name sim=$work/$name.sim
  # The Windows program ends its lines with CRLF, in the console and the log.
  sed 's/\r$//' "$job/console" >"$real/console"
  sed 's/\r$//' "$real/sysdrive/vtxsystem/log/vtxsetup.log" >"$real/log" 2>/dev/null || : >"$real/log"
  sed 's/\r$//' "$sim/sysdrive/vtxsystem/log/vtxsetup.log" >"$sim/log" 2>/dev/null || : >"$sim/log"
  # No simulated bus here, and nothing of Wine's: only the program speaks.
  [ ! -s "$job/stderr" ] || { fail "$name: standard error is not empty"; head -5 "$job/stderr"; }
  [ "$(cat "$job/rc")" = "$(cat "$sim/rc")" ] || fail "$name: exit code $(cat "$job/rc"), simulated bus $(cat "$sim/rc")"
  diff -u "$sim/console" "$real/console" >/dev/null || { fail "$name: console differs"; diff -u "$sim/console" "$real/console" | head -20 || true; }
  diff -u "$sim/log" "$real/log" >/dev/null || { fail "$name: setup log differs"; diff -u "$sim/log" "$real/log" | head -20 || true; }
  [ "$(firmware_of "$sim/bus.json")" = "$(firmware_of "$real/bus.json")" ] || fail "$name: final firmware differs"
  if [ -f "$sim/discover.xml" ]; then cmp -s "$sim/discover.xml" "$real/discover.xml" || fail "$name: discovery document differs"; fi
  echo "checked $name: exit code $(cat "$job/rc"), console $(wc -l <"$job/console") lines"
done
# The scenario must have done what it is for: flashed, refused, failed.
for name in upgrade-all upgrade-xml; do
  [ "$with_windows" = 0 ] || [ "$(firmware_of "$work/$name/bus.json")" = "$(firmware_of "$work/$name-win/bus.json")" ] ||
    fail "$name: the Windows program left other firmware than the native one"
done
grep -q '"firmware": "2.10"' "$work/upgrade-all/bus.json" || fail "upgrade-all: the LTO drive did not take its image"
grep -q '"firmware": "1.10"' "$work/upgrade-all/bus.json" || fail "upgrade-all: the KTR320 changed after a failed download"
grep -q '"firmware": "3.00"' "$work/upgrade-all/bus.json" || fail "upgrade-all: the refused image changed the VXA-320"
[ "$(cat "$batch/upgrade-all/rc")" = 0 ] || fail "upgrade-all: a refused image and a failed download must end in failure"
grep -q "^Tape device 0 could not be examined; it is left untouched.$" "$batch/held/console" ||
  fail "held: a busy tape device was not reported"
[ "$(cat "$batch/held/rc")" = "$(cat "$work/held.sim/rc")" ] || fail "held: exit code differs from the simulated bus"
diff -u "$work/held.sim/console" "$batch/held/console" || fail "held: console differs from the simulated bus"
cmp -s "$work/held.sim/held.xml" "$work/held/held.xml" || fail "held: discovery document differs from the simulated bus"
grep -q "^Tape device 1 could not be examined; it is left untouched.$" "$batch/held/console" ||
  fail "held: a tape device without its generic node was not reported"
echo "checked held: exit code $(cat "$batch/held/rc"), a busy /dev/nst0 and a /dev/nst1 without its sg node reported and left alone"
for name in "${other_host_names[@]}"; do
  run_dir=$work/$name.run
  [ "$(cat "$batch/$name/rc")" = 0 ] || fail "$name: exit code $(cat "$batch/$name/rc"), not 0 (a drive was left alone)"
  if [ "$name" = other-host ]; then
    grep -q "^Tape device 0 could not be examined; it is left untouched.$" "$batch/$name/console" ||
      fail "$name: the reserved drive was not reported as one that could not be examined"
  else
    [ "$(sed 's/\r$//' "$run_dir/sysdrive/vtxsystem/log/vtxsetup.log" | grep -c '^Error: Unable to access tape drive\.$')" = 1 ] ||
      fail "$name: the reserved drive was not reported once as unreachable"
  fi
  ! grep -q '^exec 0 .* cdb=3b' "$batch/$name/trace" || fail "$name: WRITE BUFFER reached the drive another host holds"
  [ "$(firmware_of "$run_dir/bus.json" | tr -d '\n')" = '"firmware":"2.05""firmware":"2.10"' ] ||
    fail "$name: expected drive 0 left at 2.05 and drive 1 flashed to 2.10, got $(firmware_of "$run_dir/bus.json")"
  echo "checked $name: exit code $(cat "$batch/$name/rc"), the drive another host holds left alone, the other flashed"
done
stopped_chunks=$(grep -c '^exec 0 .* cdb=3b04.* dir=out len=[1-9]' "$batch/stopped/trace" || true)
stopped_bytes=$(grep '^exec 0 .* cdb=3b04.* dir=out len=[1-9]' "$batch/stopped/trace" | sed 's/.* len=\([0-9]*\) .*/\1/' |
  awk '{ sum += $1 } END { print sum + 0 }')
image_bytes=$(wc -c <"$work/stopped/fwimage/BIG.BIN")
[ "$stopped_chunks" = $(((image_bytes + 32767) / 32768)) ] && [ "$stopped_bytes" = "$image_bytes" ] ||
  fail "stopped: the drive received $stopped_chunks chunks, $stopped_bytes bytes, for an image of $image_bytes bytes"
grep -q '"firmware": "2.10"' "$work/stopped/bus.json" || fail "stopped: the drive did not take up the image"
[ "$(cat "$batch/stopped/rc")" = 1 ] || fail "stopped: exit code $(cat "$batch/stopped/rc"), not 1"
stops=$(sed -n 's/^stopped and continued \([0-9]*\) times during the download$/\1/p' "$batch/stopped/stderr")
[ "${stops:-0}" -ge 10 ] || fail "stopped: the program was stopped only ${stops:-0} times during the download"
echo "checked stopped: stopped ${stops:-0} times, $stopped_chunks chunks of $image_bytes bytes each received once, the image taken up"
serial_read=$(dd if="$work/serial/sg_inq.bin" bs=1 skip=4 status=none 2>/dev/null | tr -d '\0')
serial_reported=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["devices"][0]["serial"])' \
  "$work/serial/report.json" 2>/dev/null || true)
[ "$serial_read" = HU1234ABCD ] || fail "serial: sg_inq -p 0x80 read '$serial_read', not the model's HU1234ABCD"
[ "$serial_reported" = HU1234ABCD ] || fail "serial: the run report names '$serial_reported', not the model's HU1234ABCD"
grep -q '<serial value="HU1234ABCD"/>' "$work/serial/serial.xml" 2>/dev/null ||
  fail "serial: the discovery document does not carry the serial number"
echo "checked serial: sg_inq and the run report both read HU1234ABCD"
cat "$batch/sg/console"
[ "$(cat "$batch/sg/rc")" = 0 ] || fail "sg3_utils checks"
grep -q '"firmware": "2.10"' "$work/sg/bus.json" || fail "sg3_utils: the activated image is not in the bus file"
echo "== real stack: $failures failures, $(($(date +%s) - started)) s"
[ "$failures" = 0 ]
