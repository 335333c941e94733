#!/usr/bin/env bash
# What the fleet rollout costs the control node per host. Builds N local
# hosts (each with its own working folder and simulated bus with one drive
# that needs an upgrade) and a stand-in program that waits 15 s in each run
# before the real program does its work (and answers --version at once),
# then runs discover.yml, upgrade.yml and report.yml with FORKS forks and
# prints, per play: wall time; core-seconds (user + system) of
# ansible-playbook and of everything it starts, per host (with local hosts
# that includes the host side's module runs, so it bounds the control
# node's share from above), and of it the module runs' own (user + system
# of each module run's interpreter, as /usr/bin/time measures it, the
# programs it waits for included); module runs, task slots and
# async_status polls per host; and how far apart the program starts of
# each batch are.
#
# A benchmark, not a test: its figures depend on the machine.
# Usage: scripts/fleet-bench.sh N FORKS   (KVFW_PROGRAM: the program, the native build's by default;
# KVFW_PLAYBOOKS: a folder of the playbooks and role to measure, e.g. an
# earlier version's, deploy/ansible by default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
hosts=${1:?usage: fleet-bench.sh N FORKS}
forks=${2:?usage: fleet-bench.sh N FORKS}
program=$(realpath "${KVFW_PROGRAM:-$root/build/normal/kvtapefw}")
playbooks=$(realpath "${KVFW_PLAYBOOKS:-$root/deploy/ansible}")
[ -x "$program" ] || { echo "fleet-bench: no program at $program (build it first)" >&2; exit 1; }
work=$(mktemp -d /tmp/kvtapefw-bench.XXXXXX)
if [ "${KVFW_KEEP_SCRATCH:-0}" = 1 ]; then echo "scratch folder: $work"; else trap 'rm -rf "$work"' EXIT; fi

: >"$work/ansible.cfg"
export ANSIBLE_CONFIG=$work/ansible.cfg ANSIBLE_HOME=$work/ansible-home
export ANSIBLE_LOCAL_TEMP=$work/tmp/local ANSIBLE_REMOTE_TEMP=$work/tmp/remote ANSIBLE_ASYNC_DIR=$work/async
export ANSIBLE_HOST_KEY_CHECKING=False ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=False
export ANSIBLE_PIPELINING=True ANSIBLE_FORKS=$forks ANSIBLE_LOCALHOST_WARNING=False ANSIBLE_DEPRECATION_WARNINGS=False
export ANSIBLE_CALLBACK_PLUGINS=$root/tests/support/ansible/callback ANSIBLE_CALLBACKS_ENABLED=kvfw_count
mkdir -p "$ANSIBLE_HOME" "$ANSIBLE_LOCAL_TEMP" "$ANSIBLE_REMOTE_TEMP" "$work/control"

# Every module run on a host starts its interpreter once: this one notes it
# and its time.
cat >"$work/python" <<EOF2
#!/bin/sh
echo x >>"$work/module-runs"
exec /usr/bin/time -q -a -o "$work/module-cpu" -f "%U %S" /usr/bin/python3 "\$@"
EOF2
cat >"$work/kvtapefw" <<EOF2
#!/bin/sh
[ "\$1" != --version ] || exec "$program" "\$@"
date +%s.%N >>"$work/starts"
sleep 15
exec "$program" "\$@"
EOF2
chmod +x "$work/python" "$work/kvtapefw"
cp -r "$root/examples/fwimage" "$work/fwimage"
{
  for n in $(seq -w 1 "$hosts"); do
    mkdir -p "$work/h$n"
    echo '{"command_ms": 1, "drives": [{"address": 1, "product": "ULTRIUM-HH6", "firmware": "2.05", "hw_config": "0x00a4"}]}' \
      >"$work/h$n/bus.json"
    echo "h$n ansible_connection=local kvtapefw_dir=$work/h$n/kvtapefw kvtapefw_sim_bus=$work/h$n/bus.json"
  done
  echo "[all:vars]"
  echo "ansible_python_interpreter=$work/python"
  # The role's own modules name python3.
  echo "ansible_python3_interpreter=$work/python"
  echo "kvtapefw_program=$work/kvtapefw"
  echo "kvtapefw_fwimage=$work/fwimage"
} >"$work/inventory.ini"

echo "fleet-bench: $hosts local hosts, $forks forks, $(nproc) cores, $(ansible --version | sed -n 1p)"
printf '%-9s %7s %12s %12s %12s %11s %11s %s\n' play "wall s" "core-s/host" "in modules" "modules/host" "slots/host" \
  "polls/host" "program starts per batch: first to last"
for play in discover upgrade report; do
  : >"$work/module-runs"
  : >"$work/module-cpu"
  : >"$work/starts"
  export KVFW_COUNT_FILE=$work/$play.count.json
  python3 - "$work" "$play" "$hosts" "$playbooks/$play.yml" <<'EOF2'
import ctypes, json, os, resource, subprocess, sys, time
work, play, hosts, playbook = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
# Processes ansible-playbook leaves behind (async jobs) come back to this
# one when their parent ends, so that their time is counted too.
ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)
begin = time.monotonic()
with open("%s/%s.txt" % (work, play), "w") as out:
    rc = subprocess.call(["ansible-playbook", "-i", work + "/inventory.ini", playbook], cwd=work + "/control",
                         stdout=out, stderr=subprocess.STDOUT)
while True:
    try:
        os.waitpid(-1, 0)
    except ChildProcessError:
        break
wall = time.monotonic() - begin
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
modules = sum(1 for _ in open(work + "/module-runs"))
in_modules = sum(sum(map(float, line.split()[-2:])) for line in open(work + "/module-cpu")
                 if len(line.split()) >= 2 and line.split()[-1].replace(".", "").isdigit())
count = json.load(open("%s/%s.count.json" % (work, play)))
starts = sorted(float(line) for line in open(work + "/starts") if line.strip())
batches, spreads = [], []
for start in starts:
    if batches and start - batches[-1][-1] < 10:
        batches[-1].append(start)
    else:
        batches.append([start])
spread = ", ".join("%d in %.1f s" % (len(b), b[-1] - b[0]) for b in batches) or "none"
print("%-9s %7.1f %12.2f %12.2f %12.1f %11.1f %11.1f %s%s" % (
    play, wall, (usage.ru_utime + usage.ru_stime) / hosts, in_modules / hosts, modules / hosts,
    sum(count["slots"].values()) / hosts,
    sum(count["polls"].values()) / hosts, spread, "" if rc == 0 else "  (ansible-playbook exit %d: %s/%s.txt)" % (rc, work, play)))
EOF2
done
