# Standard input holds one profile.
kivu-profile heatmap - --baseline - -o h
