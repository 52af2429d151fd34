# Sourced by the Slurm tests (slurm_test.sh, slurm_local_test.sh): how a
# check passes, fails or skips the test, what both need before they start,
# and how they end. A skip exits 77 with the reason on a "SKIP:" line.

skip() {
  echo "SKIP: $*"
  exit 77
}
failures=0
fail() {
  echo "FAILED: $*"
  failures=$(( failures + 1 ))
}
pass() { echo "ok: $*"; }
# A process that runs: it exists and is no zombie awaiting its reaper.
alive() { [[ -r /proc/$1/stat && $(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null) != Z ]]; }

# need_slurm PROGRAM...: skips unless this is root (Slurm's daemons run as
# root here) and Slurm's, munge's and each PROGRAM are on PATH. A test
# never installs them: scripts/install-deps.sh slurm does.
need_slurm() {
  local program
  [[ $(id -u) == 0 ]] || skip "Slurm's daemons run as root here (SlurmUser=root), and this is uid $(id -u)"
  for program in munged slurmctld slurmd sbatch sinfo squeue scancel "$@"; do
    command -v "$program" >/dev/null || skip "$program is missing (scripts/install-deps.sh slurm installs Slurm and munge)"
  done
}

# Ends the test: exit 1 when a check failed, 0 when all passed.
finish() {
  (( failures == 0 )) || { echo "$failures checks failed"; exit 1; }
  echo "all checks passed"
  exit 0
}
