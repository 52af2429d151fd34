# --baseline belongs to heatmap.
kivu-profile summary a --baseline c
