# merge's own help, the same after other words.
kivu-results merge --help && kivu-results merge --expected inputs/cases.txt --help
