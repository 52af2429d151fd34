# A profile like the series's last level passes (0), one outside it fails (3);
# too short a series cannot be judged (1).
kivu-results check --db s.sqlite --metric compute_cycles inputs/base.capnp; echo "status $?"
for i in 1 2 3 4 5 6; do kivu-results record --db s.sqlite --commit "c$i" inputs/base.capnp >/dev/null; done
kivu-results check --db s.sqlite --metric compute_cycles inputs/base.capnp; echo "status $?"
kivu-results check --db s.sqlite --metric compute_cycles inputs/slower.capnp; echo "status $?"
kivu-results check --db s.sqlite --metric compute_cycles --json inputs/slower.capnp; echo "status $?"
kivu-results check --db s.sqlite --metric compute_cycles inputs/page.xml; echo "status $?"
