# compute_cycles over twelve commits, the last six slower: the series and
# its change point (seeded, so the p-value is the same every time); none
# for a metric that did not move.
set -o pipefail
for i in 1 2 3 4 5 6 7 8 9 10 11 12; do
  profile=inputs/base.capnp; [ "$i" -gt 6 ] && profile=inputs/slower.capnp
  kivu-results record --db s.sqlite --commit "c$i" --case hardware_e2e.gemm "$profile" >/dev/null
done
normalise() { sed -E "s/[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z/YYYY-MM-DDThh:mm:ssZ/"; }
kivu-results trend --db s.sqlite --metric compute_cycles --case hardware_e2e.gemm | normalise
kivu-results trend --db s.sqlite --metric compute_cycles --json | normalise
kivu-results trend --db s.sqlite --metric compute_cycles --case hardware_e2e.other | normalise
