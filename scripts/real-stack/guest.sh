#!/bin/bash
# Runs inside the test VM (as root, with the host's programs): for every job
# of the run, serves the drives of its bus file through the kernel's SCSI
# target (a user backstore per drive, all on one loopback target of the job),
# gives the job a private /dev holding only its own drives, each at the tape
# device number of its address, and runs the job's command there. Jobs run
# side by side and share nothing but the kernel.
set -u
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
run=$1
target=$(cat "$run/target")
cfg=/sys/kernel/config/target

# wait_for SECONDS COMMAND...: true once the command succeeds.
wait_for() {
  local tries=$(($1 * 10)); shift
  until "$@" 2>/dev/null; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}

has_entries() { [ -n "$(ls "$1" 2>/dev/null)" ]; }
reserve() { sg_raw "$1" 16 00 00 00 00 00 >/dev/null; }  # RESERVE(6)

# The job's device folder: the usual character devices, the drives' tape and
# SCSI generic nodes and, for Wine, a link per drive (tapeN -> its sg node).
make_dev() {
  local dev=$1 node
  mkdir -p "$dev/pts" "$dev/shm"
  for node in null zero full random urandom tty ptmx; do cp -a "/dev/$node" "$dev/"; done
}

run_job() {
  local job=$1 n prefix addresses address lun=0 wwn tpg host_path sysdev nst sg dev
  n=$(basename "$job")
  prefix=j$n
  addresses=$("$target" --list "$job/bus.json") || { echo "job $n: bus file unusable" >&2; return 1; }
  for address in $addresses; do
    local store=$cfg/core/user_0/${prefix}_$address
    mkdir -p "$store"
    echo -n "dev_config=kvtape/${prefix}_$address" >"$store/control"
    echo -n "dev_size=1048576" >"$store/control"
    echo -n 1 >"$store/enable"
  done
  "$target" "$job/bus.json" "$prefix" "$job/trace" >"$job/target.out" 2>"$job/target.err" &
  local target_pid=$!
  wait_for 60 grep -q ready "$job/target.out" || { echo "job $n: target not ready" >&2; return 1; }

  wwn=$(printf 'naa.5001405%09x' "$n")
  tpg=$cfg/loopback/$wwn/tpgt_1
  mkdir -p "$tpg"
  echo -n "$(printf 'naa.5001406%09x' "$n")" >"$tpg/nexus"
  dev=/tmp/dev-$n
  make_dev "$dev"
  : >"$job/devices"
  for address in $addresses; do
    mkdir -p "$tpg/lun/lun_$lun"
    ln -s "$cfg/core/user_0/${prefix}_$address" "$tpg/lun/lun_$lun/drive"
    lun=$((lun + 1))
  done
  host_path=$(cat "$tpg/address")  # H:C:T of the job's SCSI host
  lun=0
  for address in $addresses; do
    sysdev=/sys/bus/scsi/devices/$host_path:$lun
    wait_for 60 has_entries "$sysdev/scsi_tape" || true
    wait_for 60 has_entries "$sysdev/scsi_generic" || { echo "job $n: drive $address has no sg node" >&2; return 1; }
    nst=$(ls "$sysdev/scsi_tape" | grep -E '^nst[0-9]+$' | head -1)
    [ -n "$nst" ] || { echo "job $n: drive $address has no tape device" >&2; return 1; }
    local numbers
    numbers=$(cat "$sysdev/scsi_tape/$nst/dev")
    mknod "$dev/nst$address" c "${numbers%%:*}" "${numbers##*:}"
    sg=$(ls "$sysdev/scsi_generic" | head -1)
    cp -a "/dev/$sg" "$dev/"
    echo "$address $sg" >>"$job/devices"
    lun=$((lun + 1))
  done

  # Drives another host holds: each is exported once more, through a second
  # loopback target (another SCSI host of the guest, another initiator),
  # reserved there with RESERVE(6), and that path is removed from the guest's
  # view. Its nexus stays in the target, and with it the reservation.
  local held other other_dev other_sg
  if [ -f "$job/held_by_other_host" ]; then
    while read -r held; do
      [ -n "$held" ] || continue
      [ -e "$cfg/core/user_0/${prefix}_$held" ] || { echo "job $n: no drive $held to hold" >&2; return 1; }
      other=$cfg/loopback/$(printf 'naa.5001407%05x%04x' "$n" "$held")/tpgt_1
      mkdir -p "$other"
      echo -n "$(printf 'naa.5001408%05x%04x' "$n" "$held")" >"$other/nexus"
      mkdir -p "$other/lun/lun_0"
      ln -s "$cfg/core/user_0/${prefix}_$held" "$other/lun/lun_0/drive"
      other_dev=/sys/bus/scsi/devices/$(cat "$other/address"):0
      wait_for 60 has_entries "$other_dev/scsi_generic" || { echo "job $n: drive $held has no second path" >&2; return 1; }
      other_sg=$(ls "$other_dev/scsi_generic" | head -1)
      # A first command on a new path may meet a unit attention: asked again.
      wait_for 30 reserve "/dev/$other_sg" ||
        { echo "job $n: drive $held could not be reserved through its second path" >&2; return 1; }
      echo 1 >"$other_dev/delete"
    done <"$job/held_by_other_host"
  fi

  # What the kernel sent while it found the drives is no part of the run.
  kill -USR1 "$target_pid"
  sleep 0.5
  unshare -m /bin/bash "$run/job.sh" "$job" "$dev" >"$job/job.log" 2>&1
  kill -TERM "$target_pid"
  wait "$target_pid"
  return 0
}

cat /proc/cmdline
for job in "$run"/jobs/*; do
  run_job "$job" &
done
wait
echo guest done
