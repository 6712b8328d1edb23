#!/usr/bin/env bash
# Starts a one-node Slurm cluster on this machine (munged, slurmctld, slurmd; all state in a scratch
# folder), runs scripts/test-workflow.sh through it with the Slurm profile, and stops the daemons it
# started. Needs root and the packages slurm-wlm, munge and snakemake (scripts/install-deps.sh).
# If a Slurm daemon cannot run on this machine, the test is reported as SKIPPED and exits 0.
#   bash scripts/test-slurm.sh [HISTONORM]     (default build/release/src/app/histonorm)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
histonorm=$(realpath -- "${1:-$repo/build/release/src/app/histonorm}")

skip() { echo "SKIPPED: Slurm test: $*"; exit 0; }

for tool in munged munge slurmctld slurmd sbatch sinfo scancel snakemake setpriv; do
  command -v "$tool" >/dev/null || { echo "$tool not found: run scripts/install-deps.sh" >&2; exit 1; }
done
[ "$(id -u)" -eq 0 ] || skip "slurmd must start as root to run jobs"
[ -r /etc/munge/munge.key ] || { echo "/etc/munge/munge.key missing: reinstall munge" >&2; exit 1; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/histonorm-slurm.XXXXXX")
chmod 755 "$scratch"  # munged runs as user munge and must reach its folder
mkdir -p "$scratch/munge" "$scratch/state" "$scratch/spool" "$scratch/log"
chown munge: "$scratch/munge"
chmod 755 "$scratch/munge"  # clients connect to the socket in it
socket=$scratch/munge/munge.socket

pids=()
stop_daemons() {
  if [ ${#pids[@]} -gt 1 ] && kill -0 "${pids[1]}" 2>/dev/null; then
    # End the jobs while the daemons still run, so that their steps can report and exit.
    timeout 20 scancel --full --user="$(id -un)" 2>/dev/null || true
    for _ in $(seq 200); do [ -z "$(timeout 5 squeue -h 2>/dev/null)" ] && break; sleep 0.1; done
  fi
  local i pid env
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do  # slurmd, slurmctld, then munged
    kill "${pids[i]}" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "${pids[i]}" 2>/dev/null || break; sleep 0.1; done
    kill -9 "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  # A job step that could not report its end keeps running after slurmd; it is ours if it was
  # started with this run's configuration file.
  for env in /proc/[0-9]*/environ; do
    pid=${env#/proc/}
    pid=${pid%/environ}
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = slurmstepd ] || continue
    { tr '\0' '\n' <"$env"; } 2>/dev/null | grep -qxF "SLURM_CONF=$scratch/slurm.conf" && kill -9 "$pid" 2>/dev/null
  done
  rm -rf -- "$scratch"
}
trap stop_daemons EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# errors_of NAME LOG: the daemon's own error lines, for a skip message.
errors_of() {
  local lines
  lines=$(grep -iE 'error|fatal' "$2" 2>/dev/null | tail -n 5 || true)
  [ -n "$lines" ] || lines=$(tail -n 5 "$2" 2>/dev/null || true)
  printf '%s exited: %s' "$1" "${lines:-no log}"
}

# start LOG COMMAND...: starts a daemon in the foreground of a background job, so that $! is
# the daemon itself and can be stopped by its id, in a session of its own, so that Ctrl-C reaches
# the workflow but not the daemons (they are stopped on exit, after the jobs).
start() {
  local log=$1
  shift
  setsid "$@" >>"$log" 2>&1 &
  pids+=($!)
}

# wait_for NAME PID LOG COMMAND...: waits up to 30 s for COMMAND to succeed while the daemon lives.
wait_for() {
  local name=$1 pid=$2 log=$3
  shift 3
  for _ in $(seq 300); do
    "$@" >/dev/null 2>&1 && return 0
    kill -0 "$pid" 2>/dev/null || skip "$(errors_of "$name" "$log")"
    sleep 0.1
  done
  skip "$name did not become ready within 30 s: $(tail -n 5 "$log")"
}

start "$scratch/munge/munged.log" \
  setpriv --reuid=munge --regid=munge --init-groups munged --foreground --socket="$socket" \
    --key-file=/etc/munge/munge.key --log-file="$scratch/munge/munged.log" \
    --pid-file="$scratch/munge/munged.pid" --seed-file="$scratch/munge/munged.seed"
munge_works() { munge --socket="$socket" --no-input | unmunge --socket="$socket"; }
wait_for munged "${pids[0]}" "$scratch/munge/munged.log" munge_works

# Two free ports, so that the test does not meet another Slurm on this machine.
read -r ctld_port slurmd_port < <(python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*(x.getsockname()[1] for x in s))')
node=$(slurmd -C | head -n 1 | sed 's/^NodeName=[^ ]*/NodeName=localhost/')
export SLURM_CONF=$scratch/slurm.conf
cat >"$SLURM_CONF" <<CONF
ClusterName=histonorm-test
SlurmctldHost=localhost
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$socket
StateSaveLocation=$scratch/state
SlurmdSpoolDir=$scratch/spool
SlurmctldPidFile=$scratch/slurmctld.pid
SlurmdPidFile=$scratch/slurmd.pid
SlurmctldLogFile=$scratch/log/slurmctld.log
SlurmdLogFile=$scratch/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
SchedulerType=sched/backfill
MpiDefault=none
MailProg=/bin/true
ReturnToService=2
$node State=UNKNOWN
PartitionName=test Nodes=localhost Default=YES MaxTime=INFINITE State=UP
CONF

start "$scratch/log/slurmctld.log" slurmctld -D -i -f "$SLURM_CONF"
wait_for slurmctld "${pids[1]}" "$scratch/log/slurmctld.log" sinfo
start "$scratch/log/slurmd.log" slurmd -D -N localhost -f "$SLURM_CONF"
node_idle() { [ "$(sinfo -h -n localhost -o %t)" = idle ]; }
wait_for slurmd "${pids[2]}" "$scratch/log/slurmd.log" node_idle
echo "Slurm is up: one node, $(sinfo -h -o '%c CPUs, %m MB')"

# Snakemake's Slurm executor reads USER; jobs inherit SLURM_CONF through sbatch --export=ALL.
# It polls job states every 30 s unless told to poll at most once a second.
USER=$(id -un)
export USER
# The profile asks for the cores of a cluster node; this node has two, so every job takes them.
bash "$repo/scripts/test-workflow.sh" "$histonorm" --profile "$repo/workflow/profiles/slurm" \
  --max-status-checks-per-second 1 --set-threads fit=2 shard=2 slide=2 --default-resources runtime=30 mem_mb=4000
