# The page is written whole to -o (its content, with times, is checked by
# the report page's own tests and in the browser); an output that cannot be
# written fails (1).
kivu-results record --db s.sqlite --commit c1 inputs/results >/dev/null &&
  kivu-results report --db s.sqlite -o page.html && test -s page.html && echo "page written"
kivu-results report --db s.sqlite -o no-such-folder/page.html; echo "status $?"
