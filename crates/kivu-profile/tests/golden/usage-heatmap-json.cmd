# --json belongs to summary and diff.
kivu-profile heatmap a -o h --json
