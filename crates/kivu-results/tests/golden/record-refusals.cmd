# Each refused input is one line with its own status, and nothing is recorded.
kivu-results record --db s.sqlite --commit c1 inputs/bomb.xml; echo "status $?"
kivu-results record --db s.sqlite --commit c1 inputs/truncated.xml; echo "status $?"
kivu-results record --db s.sqlite --commit c1 inputs/page.xml; echo "status $?"
kivu-results record --db s.sqlite --commit c1 absent.xml; echo "status $?"
kivu-results record --db mysql://lab/results --commit c1 inputs/results; echo "status $?"
kivu-results runs --db s.sqlite --json
