#!/bin/bash
# One job inside the VM, in its own mount namespace: its private /dev is put
# in place and the job's command runs in its working folder. Writes the
# console, standard error and exit code into the job folder.
set -u
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
job=$1 dev=$2
mount --make-rprivate /
mount --rbind /dev/pts "$dev/pts"
mount -t tmpfs tmpfs "$dev/shm"
mount --rbind "$dev" /dev
mapfile -d '' -t args <"$job/args"
cwd=$(cat "$job/cwd")
mode=$(cat "$job/mode")
unset KVFW_SIM_BUS KVFW_SIM_TRACE systemdrive
[ ! -f "$job/systemdrive" ] || export systemdrive="$(cat "$job/systemdrive")"
export KVFW_REAL_STACK_JOB=$job  # a command finds the drives in $job/devices
# Each job stands for a host of its own (its own /dev): its own run lock and
# state folder, so that jobs side by side in the one VM do not wait for each
# other as two runs on one host must.
export KVFW_LOCK="$job/kvtapefw.lock" KVFW_STATE_DIR="$job"
cd "$cwd" || exit 1
case $mode in
  native) "$(cat "$job/program")" "${args[@]}" >"$job/console" 2>"$job/stderr" ;;
  command) "${args[@]}" >"$job/console" 2>"$job/stderr" ;;
  windows)
    # A prefix of the job's own, copied from the host's prepared one; each
    # tape device is the drive's SCSI generic node, which Wine drives with
    # SG_IO. Wine's system drive is always C:, so C:\vtxsystem is made the
    # caller's $systemdrive/vtxsystem.
    n=$(basename "$job")
    export WINEPREFIX=/tmp/wine-$n HOME=/tmp/home-$n WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
    mkdir -p "$HOME"
    # The prefix's drive C: is hundreds of megabytes of DLL copies: it is
    # linked file by file (several jobs side by side would not fit the VM's
    # memory), the registry and the device links are copied.
    template=$(cat "$job/wineprefix")
    mkdir -p "$WINEPREFIX"
    cp -a "$template"/*.reg "$template/.update-timestamp" "$template/dosdevices" "$WINEPREFIX/"
    cp -as "$template/drive_c" "$WINEPREFIX/drive_c"
    while read -r address sg; do ln -sfn "/dev/$sg" "$WINEPREFIX/dosdevices/tape$address"; done <"$job/devices"
    if [ -n "${systemdrive+set}" ]; then
      rm -rf "$WINEPREFIX/drive_c/vtxsystem"
      ln -s "$systemdrive/vtxsystem" "$WINEPREFIX/drive_c/vtxsystem"
      unset systemdrive
    fi
    # Run from the guest's own memory: Wine maps the executable's sections,
    # and pages mapped from the host's 9p share read as zeros.
    cp "$(cat "$job/program")" "$WINEPREFIX/kvtapefw.exe"
    # Wine's 64-bit loader itself: the "wine" wrapper adds its own warning
    # about a missing 32-bit Wine to the program's standard error.
    loader=/usr/lib/wine/wine64
    [ -x "$loader" ] || loader=wine
    "$loader" "$WINEPREFIX/kvtapefw.exe" "${args[@]}" >"$job/console" 2>"$job/stderr"
    ;;
esac
status=$?
[ "$mode" != windows ] || wineserver -k 2>/dev/null || true
echo "$status" >"$job/rc"
