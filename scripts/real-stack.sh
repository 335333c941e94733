#!/usr/bin/env bash
# Runs kvtapefw against emulated drives through a real Linux kernel's SCSI
# stack, in a throw-away VM:
#
#   real-stack.sh BUS_FILE [--windows] [--held-by-other-host N]... -- ARGS...
#
# The drives of BUS_FILE (the simulated bus's format) are served by
# kvtape-target through the kernel's SCSI target, and the program built from
# this tree (kvtapefw, or kvtapefw.exe under Wine with --windows) runs with
# ARGS in the current folder. The call ends as a run on the simulated bus
# would: the program's exit code, its console on standard output, its
# standard error, the setup log under $systemdrive and the bus file's
# firmware values updated. The VM's own output goes to a log file. A failure
# of this script itself exits 125 with one line on standard error.
#
# --held-by-other-host N (repeatable): the drive at address N is also
# exported through a second SCSI host of the VM and reserved there with
# RESERVE(6) before the program runs, as another host holding it would; that
# second path is then removed from the guest's view while its nexus, and so
# the reservation, stays. The program still sees the drive as tape device N,
# through no other node.
#
#   real-stack.sh --batch FOLDER
#
# runs several jobs side by side in one VM; each subfolder of FOLDER is a job
# with the files bus (path of its bus file), mode (native, windows or
# command), cwd, args (NUL-separated), and optionally systemdrive and
# held_by_other_host (addresses, one a line). Each job gets console, stderr,
# rc and the drive model's trace in its folder, and its bus file updated.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
here=$root/scripts/real-stack
max_wine_drives=5

fail() {
  echo "real-stack: $*" >&2
  exit 125
}

usage() {
  fail "usage: real-stack.sh BUS_FILE [--windows] [--held-by-other-host N]... -- ARGS...  or  real-stack.sh --batch FOLDER"
}

[ $# -ge 1 ] || usage
batch= single_dir= run=
# KVFW_REAL_STACK_KEEP=1 keeps the run folder (jobs, traces, the VM's log).
cleanup() {
  [ -z "$single_dir" ] || rm -rf "$single_dir"
  [ -n "$run" ] || return 0
  if [ -n "${KVFW_REAL_STACK_KEEP:-}" ]; then echo "real-stack: run folder kept: $run" >&2; else rm -rf "$run"; fi
}
trap cleanup EXIT
if [ "$1" = --batch ]; then
  [ $# -eq 2 ] && [ -d "$2" ] || usage
  batch=$(cd "$2" && pwd)
else
  bus=$1; shift
  mode=native held=()
  while [ "${1:-}" != -- ]; do
    case ${1:-} in
      --windows) mode=windows; shift ;;
      --held-by-other-host)
        [[ ${2:-} =~ ^[0-9]+$ ]] || usage
        held+=("$2"); shift 2 ;;
      *) usage ;;
    esac
  done
  shift
  [ -f "$bus" ] || fail "no bus file $bus"
  single_dir=$(mktemp -d "${TMPDIR:-/tmp}/kvtapefw-real-stack.XXXXXX")
  batch=$single_dir/jobs
  mkdir -p "$batch/1"
  (cd "$(dirname "$bus")" && echo "$(pwd)/$(basename "$bus")") >"$batch/1/bus"
  echo "$mode" >"$batch/1/mode"
  pwd >"$batch/1/cwd"
  if [ -n "${systemdrive+set}" ]; then
    case $systemdrive in /*) echo "$systemdrive" ;; *) echo "$(pwd)/$systemdrive" ;; esac >"$batch/1/systemdrive"
  fi
  if [ $# -gt 0 ]; then printf '%s\0' "$@" >"$batch/1/args"; else : >"$batch/1/args"; fi
  [ ${#held[@]} -eq 0 ] || printf '%s\n' "${held[@]}" >"$batch/1/held_by_other_host"
fi

"$root/scripts/install-deps.sh" real-stack >&2 || fail "could not install the VM's packages"
build=$root/build/normal
mkdir -p "$build"
flock "$build/.real-stack-build.lock" "$root/scripts/build.sh" "$build" >&2 || fail "the build failed"
images=$("$here/build-initramfs.sh") || fail "could not build the VM's kernel and initramfs"

# The run folder holds what the guest reads and writes; it and each job's
# working folder and system drive are the only host paths the VM may write.
run=$(mktemp -d "${TMPDIR:-/tmp}/kvtapefw-vm.XXXXXX")
log=$run/vm.log
cp "$here/guest.sh" "$here/job.sh" "$run/"
echo "$build/kvtape-target" >"$run/target"
mkdir -p "$run/jobs"
declare -A shared=()
shares=()
add_share() {
  local path=$1
  [ -n "$path" ] && [ -z "${shared[$path]:-}" ] || return 0
  shared[$path]=1
  shares+=("$path")
}
# The Windows build and a Wine prefix prepared once on the host (Wine's first
# start is slow, and slower still under emulation); each job copies it.
wine_prefix=
prepare_windows() {
  "$root/scripts/install-deps.sh" windows >&2 || fail "could not install Wine and the cross compilers"
  mkdir -p "$root/build/windows"
  flock "$root/build/windows/.real-stack-build.lock" "$root/scripts/windows/build.sh" x86_64 "$root/build/windows" \
    >&2 || fail "the Windows build failed"
  wine_prefix=$(dirname "$images")/wineprefix-$(wine --version 2>/dev/null | tr -c 'a-zA-Z0-9.\n' _)
  (
    flock 8
    if [ ! -f "$wine_prefix/system.reg" ]; then
      rm -rf "$wine_prefix"
      WINEPREFIX=$wine_prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= wineboot -i >/dev/null 2>&1
      WINEPREFIX=$wine_prefix wineserver -w
    fi
  ) 8>"$(dirname "$images")/.wine.lock"
  [ -f "$wine_prefix/system.reg" ] || fail "could not prepare a Wine prefix"
}
memory=3072
n=0
for job in "$batch"/*/; do
  job=${job%/}
  n=$((n + 1))
  j=$run/jobs/$n
  mkdir -p "$j"
  echo "$job" >"$j/origin"
  cp "$(cat "$job/bus")" "$j/bus.json" || fail "cannot read bus file $(cat "$job/bus")"
  cp "$job/cwd" "$job/args" "$job/mode" "$j/"
  [ ! -f "$job/systemdrive" ] || cp "$job/systemdrive" "$j/"
  [ ! -f "$job/held_by_other_host" ] || cp "$job/held_by_other_host" "$j/"
  case $(cat "$job/mode") in
    native) echo "$build/kvtapefw" >"$j/program" ;;
    windows)
      [ -n "$wine_prefix" ] || prepare_windows
      [ "$("$build/kvtape-target" --list "$j/bus.json" | wc -l)" -le "$max_wine_drives" ] ||
        fail "a Wine prefix reaches at most $max_wine_drives tape devices: $(cat "$job/bus") has more drives"
      echo "$root/build/windows/kvtapefw.exe" >"$j/program"
      echo "$wine_prefix" >"$j/wineprefix"
      memory=4096
      ;;
    command) ;;
    *) fail "job $job: unknown mode $(cat "$job/mode")" ;;
  esac
  add_share "$(cat "$job/cwd")"
  [ ! -f "$job/systemdrive" ] || { mkdir -p "$(cat "$job/systemdrive")"; add_share "$(cat "$job/systemdrive")"; }
done
[ "$n" -gt 0 ] || fail "no job in $batch"

virtfs=(-fsdev "local,id=hostroot,path=/,security_model=none,readonly=on" -device "virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot"
        -fsdev "local,id=run,path=$run,security_model=none" -device "virtio-9p-pci,fsdev=run,mount_tag=run")
: >"$run/shares"
i=0
for path in "${shares[@]}"; do
  i=$((i + 1))
  virtfs+=(-fsdev "local,id=w$i,path=$path,security_model=none" -device "virtio-9p-pci,fsdev=w$i,mount_tag=w$i")
  echo "w$i $path" >>"$run/shares"
done

# Software emulation: KVM does not boot a stock kernel on these hosts. SMAP
# off, or Wine's processes oops in the guest.
timeout "${KVFW_REAL_STACK_TIMEOUT:-1500}" qemu-system-x86_64 -accel tcg,thread=multi -cpu max,-smap -smp 2 -m "$memory" \
  -display none -monitor none -serial "file:$log" -nic none -no-reboot \
  -kernel "$images/vmlinuz" -initrd "$images/initramfs.gz" \
  -append "console=ttyS0 panic=-1 quiet kvfw_run=$run" "${virtfs[@]}" >>"$log" 2>&1 || true

keep_log() {
  local kept
  kept=$(mktemp "${TMPDIR:-/tmp}/kvtapefw-vm-log.XXXXXX")
  { cat "$log"; echo "--- guest"; cat "$run/guest.log" 2>/dev/null; for f in "$run"/jobs/*/*.log "$run"/jobs/*/target.err; do [ -f "$f" ] && { echo "--- $f"; cat "$f"; }; done; } >"$kept" 2>/dev/null || true
  echo "$kept"
}
for j in "$run"/jobs/*; do
  [ -f "$j/rc" ] || fail "the VM did not run job $(cat "$j/origin") to its end (log: $(keep_log))"
done
for j in "$run"/jobs/*; do
  origin=$(cat "$j/origin")
  bus_file=$(cat "$origin/bus")
  # Only the firmware values can have changed; the file is replaced whole.
  if ! cmp -s "$j/bus.json" "$bus_file"; then
    cp "$j/bus.json" "$bus_file.real-stack.tmp" && mv "$bus_file.real-stack.tmp" "$bus_file"
  fi
  if [ -n "$single_dir" ]; then
    status=$(cat "$j/rc")
    cat "$j/console"
    cat "$j/stderr" >&2
  else
    cp "$j/console" "$j/stderr" "$j/rc" "$origin/"
    [ ! -f "$j/trace" ] || cp "$j/trace" "$origin/"
  fi
done
[ -z "$single_dir" ] || exit "$status"
exit 0
