#!/usr/bin/env bash
# scripts/slurm-local.sh against a hostile local user and a failing start:
#   1. a folder that another user made, or could change, is refused before
#      anything is written into it or through its links;
#   2. a path that slurm.conf cannot hold is refused at once;
#   3. a daemon that exits is noticed at once, with its last log lines; a
#      node that never comes up ends the start at its time limit; a killed
#      start leaves no daemon; none of them leave a daemon behind;
#   4. a real start makes the folder the user's alone (0700) and the key
#      is never readable by others; a quarantined board is no Slurm
#      resource; stop ends the cluster's jobs and its
#      daemons, and not a process of the user that holds SLURM_CONF.
# The other user is nobody. Runs as root; Slurm's programs in a private
# temporary folder, bounded in time.
#
# Usage: slurm_local_test.sh SOURCE_DIR BUILD_DIR
# Exit status: 0 passed, 1 failed, 77 skipped (the reason on a "SKIP:" line).
set -uo pipefail

source_dir=$1
build=$2
script=$source_dir/scripts/slurm-local.sh

. "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

need_slurm setpriv perl
[[ -x $build/kivu-boards ]] || skip "$build/kivu-boards is not built"
export KIVU_BOARDS_TOOL=$build/kivu-boards
unset SLURM_CONF KIVU_SLURM_OWNER KIVU_SLURM_START_TIMEOUT

work=$(mktemp -d /tmp/kivu-slurm-local-test.XXXXXX)
chmod 0755 "$work"
started=()
cleanup() {
  local status=$? dir
  trap - EXIT INT TERM
  for dir in "${started[@]}"; do "$script" stop "$dir" >/dev/null 2>&1; done
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"; }

# Processes of a Slurm in DIR: munged names the folder on its command line,
# the Slurm daemons and job steps carry it in their environment.
leftovers() {
  # The first letter in brackets: the pattern does not find the grep itself.
  local pattern
  pattern=$(sed -e 's/[][\.*^$]/\\&/g' -e 's/^\(.\)/[\1]/' <<<"$1/")
  grep -lsa -- "$pattern" /proc/[0-9]*/cmdline | cut -d/ -f3 | grep -vx -e "$$" -e "$BASHPID" |
    while read -r pid; do alive "$pid" && echo "$pid"; done
  grep -lzxF "KIVU_SLURM_DIR=$1" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3
}
# Waits (at most 30 s) until no process of the Slurm in DIR is left.
none_left() {
  local i
  for (( i = 0; i < 300; ++i )); do
    [[ -z $(leftovers "$1") ]] && return 0
    sleep 0.1
  done
  leftovers "$1"
  return 1
}

# =============================================================================
# 1. Folders another user made or can change

# A world-writable sticky folder, as /tmp is, and a folder only root reads.
shared=$work/shared
secret=$work/secret
mkdir -m 1777 "$shared"
mkdir -m 0700 "$secret"
# Refused: exit 1, the reason on standard error, nothing written through a
# link into the secret folder, no daemon.
refused() {
  local what=$1 dir=$2 reason=$3
  timeout 60 "$script" start "$dir" 2 >"$work/out.txt" 2>&1
  local status=$?
  if (( status == 1 )) && grep -q -- "$reason" "$work/out.txt" && [[ -z $(ls -A "$secret") ]] &&
    [[ -z $(leftovers "$dir") ]]; then
    pass "$what: refused ($(head -n 1 "$work/out.txt"))"
  else
    fail "$what: exit $status, in the secret folder: $(ls -A "$secret" | tr '\n' ' ')"
    cat "$work/out.txt"
    started+=("$dir")
  fi
}

# Another user's folder, with a key of theirs and the log a link into the
# secret folder.
as_nobody mkdir -p "$shared/evil/log" "$shared/evil/munge"
as_nobody sh -c "head -c 1024 /dev/zero >'$shared/evil/munge/munge.key'"
as_nobody ln -s "$secret/planted" "$shared/evil/log/munged.out"
refused "another user's folder" "$shared/evil" "belongs to uid"

# The user's own folder, but writable by others.
mkdir -m 0777 "$shared/open"
chmod 0777 "$shared/open"
refused "a folder others can write to" "$shared/open" "others can write"

# The user's own folder with a sub-folder of another user, or a link in it.
mkdir -m 0700 "$shared/sub"
mkdir "$shared/sub/log"
chown nobody "$shared/sub/log"
refused "a sub-folder of another user" "$shared/sub" "belongs to uid"
mkdir -m 0700 "$shared/linked"
ln -s "$secret" "$shared/linked/log"
refused "a sub-folder that is a link" "$shared/linked" "is not a folder"
ln -s "$secret" "$shared/whole"
refused "the folder a link" "$shared/whole" "is not a folder"

# A folder that does not exist yet, in a folder of another user, or through
# a link of another user.
as_nobody mkdir -m 0755 "$shared/nobodys"
refused "a folder in another user's folder" "$shared/nobodys/slurm" "belongs to uid"
as_nobody ln -s "$secret" "$shared/dl"
refused "a folder through another user's link" "$shared/dl/slurm" "is a link of uid"

# =============================================================================
# 2. Paths that slurm.conf cannot hold

for name in 'a#b' 'a%hb' 'a,b' 'a b'; do
  SECONDS=0
  timeout 60 "$script" start "$work/$name" 2 >"$work/out.txt" 2>&1
  status=$?
  if (( status == 2 )) && grep -q "slurm.conf cannot hold" "$work/out.txt" && [[ ! -e $work/$name ]]; then
    pass "'$name' in the folder's path: refused with exit 2 in $SECONDS s"
  else
    fail "'$name' in the folder's path: exit $status after $SECONDS s"; cat "$work/out.txt"
    started+=("$work/$name")
  fi
done

# =============================================================================
# 3. A failing start: a slurmctld that exits, one that never answers, and a
# start that is killed. The stand-in slurmctld comes first on PATH. An exit
# is noticed long before the start's limit (200 s there); a loaded machine
# still takes seconds to start and stop munged and slurmd.

fake=$work/fake-bin
mkdir "$fake"
printf '#!/bin/sh\necho "fatal: planted failure of this test" >&2\nexit 1\n' >"$fake/slurmctld"
chmod +x "$fake/slurmctld"
dir=$work/exits
SECONDS=0
PATH=$fake:$PATH KIVU_SLURM_START_TIMEOUT=200 timeout 120 "$script" start "$dir" 2 >"$work/out.txt" 2>&1
status=$?
took=$SECONDS
if (( status == 1 && took < 60 )) && grep -q "slurmctld exited" "$work/out.txt" &&
  grep -q "planted failure" "$work/out.txt" && none_left "$dir"; then
  pass "slurmctld exits: noticed after $took s, with its log, nothing left"
else
  fail "slurmctld exits: exit $status after $took s:"; cat "$work/out.txt"
  started+=("$dir")
fi

# A slurmctld that runs but never answers (named slurmctld, as the real one).
printf '#!/bin/bash\nexec -a slurmctld sleep 100000\n' >"$fake/slurmctld"
dir=$work/silent
SECONDS=0
PATH=$fake:$PATH KIVU_SLURM_START_TIMEOUT=4 timeout 120 "$script" start "$dir" 2 >"$work/out.txt" 2>&1
status=$?
took=$SECONDS
if (( status == 1 && took < 60 )) && grep -q "did not come up within 4 s" "$work/out.txt" && none_left "$dir"; then
  pass "a node that never comes up: the start ends at its limit (4 s) after $took s, nothing left"
else
  fail "a node that never comes up: exit $status after $took s:"; cat "$work/out.txt"
  started+=("$dir")
fi

# Killed once its daemons run.
dir=$work/killed
PATH=$fake:$PATH KIVU_SLURM_START_TIMEOUT=300 "$script" start "$dir" 2 >"$work/out.txt" 2>&1 &
starter=$!
for (( i = 0; i < 300; ++i )); do
  grep -qs '^slurmd ' "$dir/daemons" && break
  sleep 0.1
done
if grep -qs '^slurmd ' "$dir/daemons"; then
  kill -KILL "$starter"
  wait "$starter" 2>/dev/null
  if none_left "$dir"; then
    pass "a start killed while its daemons run leaves none of them"
  else
    fail "a start killed while its daemons run left them running"
    started+=("$dir")
  fi
else
  kill -KILL "$starter" 2>/dev/null
  fail "the start to be killed never started slurmd"; cat "$work/out.txt"
  started+=("$dir")
fi

# =============================================================================
# 4. A real start and stop

# dd records the mode the key has the moment it is written.
printf '#!/bin/sh\n/bin/dd "$@" || exit\nfor a; do case $a in of=*) stat -c %%a "${a#of=}" >>"%s/key-mode";; esac; done\n' \
  "$work" >"$fake/dd"
chmod +x "$fake/dd"
rm -f "$fake/slurmctld"
dir=$work/own/slurm
started+=("$dir")
# Board 1 of the 2 is quarantined: the node offers Slurm one board.
printf '{"version": 1, "boards": [{"host": "%s", "board": 1, "reason": "suspect", "date": "2026-01-01"}], "released": []}\n' \
  "$(hostname)" >"$work/quarantine.json"
if ! setup=$(PATH=$fake:$PATH KIVU_QUARANTINE_FILE=$work/quarantine.json timeout 120 "$script" start "$dir" 2 \
  2>"$work/out.txt"); then
  fail "the real start failed:"; cat "$work/out.txt"
else
  modes=$(stat -c '%a' "$dir" "$dir/munge" "$dir/log" "$dir/ctld" | sort -u | tr '\n' ' ')
  if [[ $modes == "700 " && $(stat -c %a "$dir/munge/munge.key") == 400 && $(cat "$work/key-mode") == 600 ]] &&
    ! as_nobody cat "$dir/munge/munge.key" >/dev/null 2>&1; then
    pass "the folder is 0700, the key 0600 when written and 0400 after, nobody cannot read it"
  else
    fail "modes: folders $modes, key $(stat -c %a "$dir/munge/munge.key"), key when written $(cat "$work/key-mode")"
  fi
  if ! timeout 60 "$script" start "$dir" 2 >"$work/out.txt" 2>&1 && grep -q "already runs" "$work/out.txt"; then
    pass "a second start in the running folder is refused"
  else
    fail "a second start in the running folder:"; cat "$work/out.txt"
  fi

  # A job of the cluster, and a process of the user's shell that points at
  # the cluster: stop ends the first, not the second.
  eval "$setup"
  gres=$(scontrol show node | grep -o 'Gres=[^ ]*')
  if [[ $gres == Gres=kivu:1 ]]; then
    pass "a quarantined board is left out of the node's boards: $gres of 2"
  else
    fail "with board 1 of 2 quarantined the node offers '$gres', not Gres=kivu:1"
  fi
  job=$(sbatch --parsable --output=/dev/null --wrap='exec sleep 100000')
  job_pids=
  for (( i = 0; i < 300; ++i )); do
    job_pids=$(grep -lzxF "SLURM_JOB_ID=$job" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3)
    [[ -n $job_pids ]] && break
    sleep 0.1
  done
  sleep 100000 &
  user_process=$!
  daemons=$(awk '{ print $2 }' "$dir/daemons")
  "$script" stop "$dir" >"$work/out.txt" 2>&1
  status=$?
  unset SLURM_CONF
  gone=yes
  for pid in $daemons $job_pids; do
    alive "$pid" && gone="no: $pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)"
  done
  if (( status == 0 )) && [[ -n $job_pids && $gone == yes ]] && kill -0 "$user_process" 2>/dev/null; then
    pass "stop ends the job ($job_pids) and the daemons, and leaves the user's process with SLURM_CONF"
  else
    fail "stop: exit $status, job's processes '$job_pids', all gone: $gone, user's process alive: $(kill -0 "$user_process" 2>/dev/null && echo yes || echo no)"
    cat "$work/out.txt"
  fi
  kill "$user_process" 2>/dev/null
  wait "$user_process" 2>/dev/null
fi

finish
