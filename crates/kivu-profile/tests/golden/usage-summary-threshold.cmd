# --threshold belongs to diff.
kivu-profile summary a --threshold 5
