# One run of result files, then the same files again: counted once.
kivu-results record --db "$SCRATCH/s.sqlite" --commit c1 --label board_kind=sim inputs/results &&
  kivu-results record --db "$SCRATCH/s.sqlite" --commit c1 --label board_kind=sim inputs/results &&
  kivu-results record --db "sqlite:$SCRATCH/s.sqlite" --commit c2 --case hardware_e2e.blocked_gemm_with_cycle_profile_works \
    inputs/base.capnp
