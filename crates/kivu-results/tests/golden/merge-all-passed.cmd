# Every listed case passed: exit 0; the report goes to -o, written whole.
kivu-results merge --expected inputs/one-case.txt -o report.xml inputs/results/all_tile_permutation_works.xml &&
  cat report.xml
