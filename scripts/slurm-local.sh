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
# (sbatch passes that environment on).
#
# DIR holds the key of this Slurm, so it is the user's alone: start creates
# it (and every folder in it) with mode 0700, and refuses a DIR or a folder
# in it that is a link, belongs to someone else or that others can write
# to, and a path on the way to DIR that someone else could change. A DIR
# that only its user can create (under target/, or from mktemp -d) is safe
# to reuse. Paths that slurm.conf cannot hold are refused: white space,
# control characters and any of # % , = " ' \.
#
# start gives up after KIVU_SLURM_START_TIMEOUT seconds (default 60), and
# at once when a daemon exits, with that daemon's last log lines. Killed, it
# leaves no daemon behind: a watcher started first stops them when start
# ends before the node is up.
#
# stop cancels the jobs of this Slurm, then ends the daemons that start
# recorded in DIR/daemons (pid, start time and program checked, so a reused
# pid is never signalled), and a job step daemon of this Slurm that outlived
# its job. No other process is touched, whatever its environment holds.
# With KIVU_SLURM_OWNER=PID at start, the watcher runs stop by itself once
# that process is gone, so a killed test leaves nothing running.
#
# Environment: KIVU_BOARDS_TOOL  kivu-boards (default target/debug/kivu-boards)
set -euo pipefail

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//' >&2
  exit 2
}

say() { echo "slurm-local.sh: $*" >&2; }

# Field 22 of /proc/PID/stat (the start time in clock ticks), from after the
# command name, which may hold spaces.
start_time() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  # shellcheck disable=SC2086
  set -- $stat
  echo "${20}"
}

# Whether PID is the process recorded as NAME with START: same start time,
# the same program, not a zombie.
is_recorded() {
  local pid=$1 name=$2 start=$3 program state
  [[ $(start_time "$pid" 2>/dev/null) == "$start" ]] || return 1
  state=$(sed -n 's/^State:[[:space:]]*\([A-Z]\).*/\1/p' "/proc/$pid/status" 2>/dev/null)
  [[ -n $state && $state != Z ]] || return 1
  program=$({ tr '\0' '\n' <"/proc/$pid/cmdline"; } 2>/dev/null | sed -n 1p)
  # A daemon is the program it is named after, or for a moment after its
  # start the shell or setsid/env that is about to become it.
  case ${program##*/} in
    "$name" | bash | setsid | env) return 0 ;;
  esac
  return 1
}

# Appends "NAME PID START" to DIR/daemons.
record() {
  local start
  start=$(start_time "$2") || return 0
  printf '%s %s %s\n' "$1" "$2" "$start" >>"$dir/daemons"
}

# The recorded processes that still run, as "NAME PID" lines.
recorded_alive() {
  [[ -f $dir/daemons && ! -L $dir/daemons ]] || return 0
  local name pid start
  while read -r name pid start; do
    [[ $pid =~ ^[0-9]+$ && $pid != "$$" ]] || continue
    is_recorded "$pid" "$name" "$start" && echo "$name $pid"
  done <"$dir/daemons"
  return 0
}

# Job step daemons of this Slurm that outlived their job (slurmd passes its
# environment, with KIVU_SLURM_DIR, on to them).
orphan_steps() {
  local file pid program
  for file in $(grep -lzxF "KIVU_SLURM_DIR=$dir" /proc/[0-9]*/environ 2>/dev/null); do
    pid=${file#/proc/}
    pid=${pid%/environ}
    program=$({ tr '\0' '\n' <"/proc/$pid/cmdline"; } 2>/dev/null | sed -n 1p)
    [[ ${program##*/} == slurmstepd ]] && echo "slurmstepd $pid"
  done
  return 0
}

stop() {
  dir=$1
  # The jobs first, through Slurm while it still runs, so that their steps
  # end as a cancel ends them.
  if [[ -f $dir/slurm.conf && -n $(recorded_alive | grep '^slurmctld ') ]]; then
    local jobs i
    jobs=$(SLURM_CONF=$dir/slurm.conf timeout 10 squeue --noheader --format=%A 2>/dev/null || true)
    if [[ -n $jobs ]]; then
      # shellcheck disable=SC2086
      SLURM_CONF=$dir/slurm.conf timeout 10 scancel --quiet $jobs >/dev/null 2>&1 || true
      for (( i = 0; i < 60; ++i )); do
        [[ -z $(SLURM_CONF=$dir/slurm.conf timeout 5 squeue --noheader 2>/dev/null || true) ]] && break
        sleep 0.25
      done
    fi
  fi
  # slurmd ignores SIGTERM while it waits for a slurmctld that is gone.
  local signal left
  for signal in TERM KILL; do
    left=$( (recorded_alive; orphan_steps) | awk '{ print $2 }')
    [[ -z $left ]] && return 0
    # shellcheck disable=SC2086
    kill -s "$signal" $left 2>/dev/null || true
    for (( i = 0; i < 30; ++i )); do
      [[ -z $( (recorded_alive; orphan_steps) | awk '{ print $2 }') ]] && return 0
      sleep 0.1
    done
  done
  say "still running after SIGKILL:"
  (recorded_alive; orphan_steps) >&2
  return 1
}

# Refuses FOLDER unless it is a folder (not a link) of this user that nobody
# else can write to.
check_own_folder() {
  local folder=$1 owner mode
  if [[ -L $folder || ! -d $folder ]]; then
    say "$folder is not a folder (a link or a file); remove it or choose another DIR"
    return 1
  fi
  read -r owner mode < <(stat -c '%u %a' "$folder")
  if [[ $owner != "$(id -u)" ]]; then
    say "$folder belongs to uid $owner, not to this user; choose another DIR"
    return 1
  fi
  if (( 8#$mode & 8#022 )); then
    say "others can write to $folder (mode $mode); choose another DIR"
    return 1
  fi
}

# Refuses a path on the way to DIR that someone other than this user or root
# could change: each folder above DIR must belong to one of them, and one
# that others can write to must be sticky (as /tmp is).
check_path_to() {
  local path=$1 owner mode
  while [[ $path != / ]]; do
    path=$(dirname "$path")
    # A folder still to be made is made by this user.
    [[ -e $path ]] || continue
    read -r owner mode < <(stat -L -c '%u %a' "$path")
    if [[ $owner != 0 && $owner != "$(id -u)" ]]; then
      say "$path, above DIR, belongs to uid $owner; choose another DIR"
      return 1
    fi
    if (( (8#$mode & 8#022) && !(8#$mode & 8#1000) )); then
      say "$path, above DIR, is writable by others (mode $mode); choose another DIR"
      return 1
    fi
  done
}

# Refuses a link on the way to DIR that belongs to someone other than this
# user or root: its owner could point it elsewhere at any time.
check_links_to() {
  local path=$1 owner
  while [[ $path != / ]]; do
    path=$(dirname "$path")
    if [[ -L $path ]]; then
      owner=$(stat -c %u "$path")
      if [[ $owner != 0 && $owner != "$(id -u)" ]]; then
        say "$path, above DIR, is a link of uid $owner; choose another DIR"
        return 1
      fi
    fi
  done
}

# Two free TCP ports on loopback, found by binding them (both held until
# both are known, so they differ).
free_ports() {
  perl -MIO::Socket::INET -e '
    my @s = map { IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 0, Listen => 1, ReuseAddr => 1)
                  or die "slurm-local.sh: no free port on loopback: $!\n" } 1 .. 2;
    print join(" ", map { $_->sockport } @s), "\n"'
}

# Starts a daemon in a session of its own, its output in log/NAME.out, and
# records it.
daemon() {
  local name=$1
  shift
  setsid "$@" </dev/null >"$dir/log/$name.out" 2>&1 {guard}>&- &
  record "$name" "$!"
  pids[$name]=$!
}

# Gives up on the start: says why, shows LOG's last lines, stops what runs.
give_up() {
  say "$1"
  local log
  for log in "${@:2}"; do
    [[ -s $log ]] && { echo "--- last lines of $log ---" >&2; tail -n 15 "$log" >&2; }
  done
  stop "$dir" || true
  exit 1
}

start() {
  dir=$1
  local boards=$2
  local tool=${KIVU_BOARDS_TOOL:-target/debug/kivu-boards}
  local limit=${KIVU_SLURM_START_TIMEOUT:-60}
  [[ $(id -u) == 0 ]] || { say "needs root (SlurmUser=root)"; return 1; }
  [[ $boards =~ ^[1-9][0-9]{0,2}$ ]] || { say "BOARDS must be a number from 1 to 999, not '$boards'"; return 2; }
  [[ $limit =~ ^[1-9][0-9]{0,4}$ ]] || { say "KIVU_SLURM_START_TIMEOUT must be whole seconds, not '$limit'"; return 2; }
  local program
  for program in munged slurmctld slurmd sbatch sinfo squeue scancel perl; do
    command -v "$program" >/dev/null || { say "$program is missing: scripts/install-deps.sh slurm"; return 1; }
  done
  [[ -x $tool ]] || { say "$tool is not built"; return 1; }

  [[ $dir == /* ]] || dir=$PWD/$dir
  # slurm.conf has no quoting: # starts a comment, % a substitution, a comma
  # or = ends a value, white space ends a word.
  if [[ $dir =~ [[:space:][:cntrl:]#%,=\"\'\\] ]]; then
    say "slurm.conf cannot hold the path '$dir' (white space, a control character or one of # % , = \" ' \\)"
    return 2
  fi
  dir=$(realpath -m -s "$dir")
  check_links_to "$dir" || return 1
  # The folder itself is checked below (never a link); the path to it is
  # taken as it resolves.
  dir=$(realpath -m "$(dirname "$dir")")/$(basename "$dir")
  check_path_to "$dir" || return 1
  [[ -d $(dirname "$dir") ]] || mkdir -p "$(dirname "$dir")"
  # Created here or checked: this user's, and nobody else's to write to.
  [[ -e $dir || -L $dir ]] || mkdir -m 0700 "$dir"
  check_own_folder "$dir" || return 1
  chmod 0700 "$dir"
  if [[ -n $(recorded_alive) ]]; then
    say "a Slurm already runs in $dir (stop it first)"
    return 1
  fi
  local sub
  for sub in munge ctld spool log; do
    [[ -e $dir/$sub || -L $dir/$sub ]] || mkdir -m 0700 "$dir/$sub"
    check_own_folder "$dir/$sub" || return 1
    chmod 0700 "$dir/$sub"
  done
  # Files of an earlier start are replaced, never written through.
  rm -f "$dir/daemons" "$dir/slurm.conf" "$dir/gres.conf" "$dir/munge/munge.key" "$dir"/log/*.out
  # The key is never readable by others, not even for a moment.
  (umask 077 && dd if=/dev/urandom of="$dir/munge/munge.key" bs=1024 count=1 status=none)
  chmod 0400 "$dir/munge/munge.key"

  local node ports ctld_port slurmd_port gres node_gres gres_conf
  node=$(hostname -s)
  ports=$(free_ports)
  read -r ctld_port slurmd_port <<<"$ports"
  gres=$(KIVU_SIM_BOARDS=$boards "$tool" slurm-gres)
  node_gres=$(sed -n 1p <<<"$gres")
  gres_conf=$(sed -n 2p <<<"$gres")

  (umask 077 && cat >"$dir/slurm.conf") <<EOF
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
  (umask 077 && printf '%s\n' "$gres_conf" >"$dir/gres.conf")

  # The watcher, before any daemon: it reads from a pipe that only this
  # script holds open, so it learns of the script's end however it ends.
  # Ended before the node was up, it stops the daemons; after, it waits for
  # KIVU_SLURM_OWNER (when given) to be gone and stops them then.
  local self
  self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
  local owner=${KIVU_SLURM_OWNER:-}
  exec {guard}> >(exec setsid bash -c '
    cat >/dev/null
    if [[ -e $3/up ]]; then
      [[ -n $4 ]] || exit 0
      while kill -0 "$4" 2>/dev/null; do sleep 1; done
    fi
    exec "$1" stop "$3"' watcher "$self" "" "$dir" "$owner" >"$dir/log/watcher.out" 2>&1)
  # The pipe's reader is the watcher (bash does not report its pid before
  # it runs): record it from the pipe's other end.
  rm -f "$dir/up"
  local watcher
  watcher=$!
  record watcher "$watcher"

  declare -A pids
  trap 'give_up "interrupted"' INT TERM HUP
  daemon munged munged --foreground --force --key-file="$dir/munge/munge.key" \
    --socket="$dir/munge/munge.socket" --pid-file="$dir/munge/munged.pid" \
    --log-file="$dir/log/munged.log" --seed-file="$dir/munge/munged.seed"
  local deadline=$(( SECONDS + limit ))
  until [[ -S $dir/munge/munge.socket ]]; do
    alive "${pids[munged]}" || give_up "munged exited" "$dir/log/munged.log" "$dir/log/munged.out"
    (( SECONDS < deadline )) || give_up "munged did not start within $limit s" "$dir/log/munged.log"
    sleep 0.1
  done

  daemon slurmctld env KIVU_SLURM_DIR="$dir" SLURM_CONF="$dir/slurm.conf" slurmctld -D -i
  daemon slurmd env KIVU_SLURM_DIR="$dir" SLURM_CONF="$dir/slurm.conf" slurmd -D -N "$node"

  local name
  while :; do
    for name in munged slurmctld slurmd; do
      alive "${pids[$name]}" || give_up "$name exited before the node came up" "$dir/log/$name.log" "$dir/log/$name.out"
    done
    (( SECONDS < deadline )) || give_up "the node did not come up within $limit s; see $dir/log" \
      "$dir/log/slurmctld.log" "$dir/log/slurmd.log"
    if SLURM_CONF=$dir/slurm.conf timeout 3 sinfo --noheader --responding --states=idle,mixed -o %n 2>/dev/null |
      grep -q .; then
      break
    fi
    sleep 0.1
  done
  trap - INT TERM HUP
  touch "$dir/up"
  exec {guard}>&-
  echo "export SLURM_CONF=$dir/slurm.conf"
}

# A child that runs: it exists and is no zombie awaiting its reaper.
alive() {
  local state
  state=$(sed -n 's/^State:[[:space:]]*\([A-Z]\).*/\1/p' "/proc/$1/status" 2>/dev/null)
  [[ -n $state && $state != Z ]]
}

case "${1:-}" in
  start) [[ $# == 2 || $# == 3 ]] || usage; start "$2" "${3:-4}" ;;
  stop)
    [[ $# == 2 ]] || usage
    [[ -d $2 ]] || exit 0
    stop "$(cd "$2" && pwd -P)"
    ;;
  *) usage ;;
esac
