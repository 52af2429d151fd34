#!/usr/bin/env bash
# A single-node Slurm of its own in one folder, for trying the suite under
# Slurm on one host and for the suite's Slurm test: munge with its own key
# and socket, slurmctld and slurmd on loopback with their own ports, state
# and logs, the host's simulated boards as the generic resource "kivu".
# Run as root (SlurmUser=root); needs `scripts/install-deps.sh slurm`.
#
#   scripts/slurm-local.sh start DIR [BOARDS]   start it (BOARDS default 4);
#                                               prints the line to eval
#   scripts/slurm-local.sh stop DIR             end its jobs and daemons
#
# start writes DIR/slurm.conf and DIR/gres.conf (the Gres lines come from
# kivu-boards slurm-gres), starts the three daemons, waits until the node
# takes jobs and prints `export SLURM_CONF=DIR/slurm.conf`, which points
# sbatch, squeue and scancel at this Slurm. The jobs need
# KIVU_SIM_BOARDS=BOARDS as well: export it in the shell that submits
# (sbatch passes that environment on). DIR must not contain white space,
# which slurm.conf cannot quote.
#
# Every process of this Slurm can be found by its environment: the daemons
# (and the job step daemons they start) carry KIVU_SLURM_DIR=DIR, the jobs
# carry SLURM_CONF=DIR/slurm.conf. stop ends them all, daemons or not, and
# with KIVU_SLURM_OWNER=PID, a watcher started with the daemons runs stop
# by itself once that process is gone, so a killed test leaves nothing
# running.
#
# Environment: KIVU_BOARDS_TOOL  kivu-boards (default target/debug/kivu-boards)
set -euo pipefail

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//' >&2
  exit 2
}

# The pids of the processes whose environment holds any of the given entries.
pids_with_environment() {
  local args=() entry
  for entry in "$@"; do args+=(-e "$entry"); done
  grep -lzxF "${args[@]}" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 | grep -vx -e "$$" -e "$BASHPID" || true
}

stop() {
  local dir=$1
  local markers=("KIVU_SLURM_DIR=$dir" "SLURM_CONF=$dir/slurm.conf")
  # The jobs first, through Slurm while it still runs, so that their steps
  # end as a cancel ends them; then whatever is left, by signal.
  if [[ -f $dir/slurm.conf && -n $(pids_with_environment "KIVU_SLURM_DIR=$dir") ]]; then
    SLURM_CONF=$dir/slurm.conf timeout 10 scancel --quiet --full --user=root >/dev/null 2>&1 || true
    local i
    for (( i = 0; i < 20; ++i )); do
      [[ -z $(SLURM_CONF=$dir/slurm.conf timeout 5 squeue --noheader 2>/dev/null || true) ]] && break
      sleep 0.5
    done
  fi
  local pids signal
  for signal in TERM TERM KILL; do
    pids=$(pids_with_environment "${markers[@]}")
    [[ -z $pids ]] && return 0
    # shellcheck disable=SC2086
    kill -s "$signal" $pids 2>/dev/null || true
    for (( i = 0; i < 20; ++i )); do
      [[ -z $(pids_with_environment "${markers[@]}") ]] && return 0
      sleep 0.25
    done
  done
  pids=$(pids_with_environment "${markers[@]}")
  [[ -z $pids ]] && return 0
  echo "slurm-local.sh: still running after SIGKILL:" >&2
  for pid in $pids; do
    echo "  $pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null) ($(cut -d' ' -f3 "/proc/$pid/stat" 2>/dev/null))" >&2
  done
  return 1
}

# A TCP port on loopback that nothing listens on, from a range of 1000
# chosen by the folder so that two folders rarely try the same ports.
free_port() {
  local skip=${1:-0} port
  local base=$(( 20000 + $(cksum <<<"$dir" | cut -d' ' -f1) % 20 * 1000 ))
  for (( port = base + skip; port < base + 1000; ++port )); do
    ss -Hltn "sport = :$port" | grep -q . || { echo "$port"; return 0; }
  done
  echo "slurm-local.sh: no free port in $base..$(( base + 999 ))" >&2
  return 1
}

start() {
  dir=$1
  local boards=$2
  local tool=${KIVU_BOARDS_TOOL:-target/debug/kivu-boards}
  [[ $(id -u) == 0 ]] || { echo "slurm-local.sh: needs root (SlurmUser=root)" >&2; return 1; }
  local program
  for program in munged slurmctld slurmd sbatch; do
    command -v "$program" >/dev/null || {
      echo "slurm-local.sh: $program is missing: scripts/install-deps.sh slurm" >&2
      return 1
    }
  done
  [[ -x $tool ]] || { echo "slurm-local.sh: $tool is not built" >&2; return 1; }
  [[ -n $(pids_with_environment "KIVU_SLURM_DIR=$dir") ]] && {
    echo "slurm-local.sh: a Slurm already runs in $dir" >&2
    return 1
  }

  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd -P)
  [[ $dir != *[[:space:]]* ]] || { echo "slurm-local.sh: white space in '$dir'" >&2; return 1; }
  # munged refuses folders that other users can write to.
  chmod 0755 "$dir"
  mkdir -p "$dir/munge" "$dir/ctld" "$dir/spool" "$dir/log"
  chmod 0755 "$dir/munge"
  [[ -f $dir/munge/munge.key ]] || {
    dd if=/dev/urandom of="$dir/munge/munge.key" bs=1024 count=1 status=none
    chmod 0400 "$dir/munge/munge.key"
  }

  local node ctld_port slurmd_port gres
  node=$(hostname -s)
  ctld_port=$(free_port 0)
  slurmd_port=$(free_port $(( ctld_port % 1000 + 1 )))
  gres=$(KIVU_SIM_BOARDS=$boards "$tool" slurm-gres)
  local node_gres gres_conf
  node_gres=$(sed -n 1p <<<"$gres")
  gres_conf=$(sed -n 2p <<<"$gres")

  cat >"$dir/slurm.conf" <<EOF
ClusterName=kivu
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge/munge.socket
StateSaveLocation=$dir/ctld
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/log/slurmctld.log
SlurmdLogFile=$dir/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/builtin
# Quick turns for many short jobs: schedule at once on every submission and
# completion, and look at the queue every second besides.
SchedulerParameters=batch_sched_delay=0,sched_interval=1,sched_min_interval=0
MpiDefault=none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
ReturnToService=2
SlurmdParameters=config_overrides
KillWait=2
MinJobAge=300
GresTypes=kivu
NodeName=$node NodeAddr=127.0.0.1 CPUs=$(( boards * 2 > 4 ? boards * 2 : 4 )) $node_gres State=UNKNOWN
PartitionName=kivu Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
  printf '%s\n' "$gres_conf" >"$dir/gres.conf"

  # Each daemon in the foreground of a session of its own, marked with the
  # folder; their output goes to the log folder.
  KIVU_SLURM_DIR=$dir setsid munged --foreground --force --key-file="$dir/munge/munge.key" \
    --socket="$dir/munge/munge.socket" --pid-file="$dir/munge/munged.pid" \
    --log-file="$dir/log/munged.log" --seed-file="$dir/munge/munged.seed" \
    </dev/null >>"$dir/log/munged.out" 2>&1 &
  local i
  for (( i = 0; i < 50; ++i )); do
    [[ -S $dir/munge/munge.socket ]] && break
    sleep 0.1
  done
  [[ -S $dir/munge/munge.socket ]] || { echo "slurm-local.sh: munged did not start:" >&2; tail "$dir/log/munged.log" "$dir/log/munged.out" >&2; stop "$dir"; return 1; }

  KIVU_SLURM_DIR=$dir SLURM_CONF=$dir/slurm.conf setsid slurmctld -D -i \
    </dev/null >>"$dir/log/slurmctld.out" 2>&1 &
  KIVU_SLURM_DIR=$dir SLURM_CONF=$dir/slurm.conf setsid slurmd -D -N "$node" \
    </dev/null >>"$dir/log/slurmd.out" 2>&1 &

  # The watcher: stop once the owner is gone (it ends with the rest on stop).
  if [[ -n ${KIVU_SLURM_OWNER:-} ]]; then
    KIVU_SLURM_DIR=$dir setsid bash -c '
      while kill -0 "$1" 2>/dev/null; do sleep 1; done
      exec "$2" stop "$3"' watcher "$KIVU_SLURM_OWNER" "$(cd "$(dirname "$0")" && pwd)/$(basename "$0")" "$dir" \
      </dev/null >>"$dir/log/watcher.out" 2>&1 &
  fi

  for (( i = 0; i < 300; ++i )); do
    if SLURM_CONF=$dir/slurm.conf sinfo --noheader --responding --states=idle,mixed -o %n 2>/dev/null | grep -q .; then
      echo "export SLURM_CONF=$dir/slurm.conf"
      return 0
    fi
    sleep 0.1
  done
  echo "slurm-local.sh: the node did not come up within 30 s; see $dir/log:" >&2
  tail -n 5 "$dir"/log/*.log >&2 || true
  stop "$dir"
  return 1
}

case "${1:-}" in
  start) [[ $# == 2 || $# == 3 ]] || usage; start "$2" "${3:-4}" ;;
  stop)
    [[ $# == 2 ]] || usage
    # Started with a marker in its environment (from a shell that points at
    # this Slurm, or as the watcher), this script and every process it forks
    # would be found among those to end: start again without them.
    if [[ -n ${SLURM_CONF:-}${KIVU_SLURM_DIR:-} ]]; then
      exec env -u SLURM_CONF -u KIVU_SLURM_DIR "$0" "$@"
    fi
    [[ -d $2 ]] || exit 0
    stop "$(cd "$2" && pwd -P)"
    ;;
  *) usage ;;
esac
