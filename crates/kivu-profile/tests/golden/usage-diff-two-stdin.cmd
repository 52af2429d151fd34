# Standard input holds one profile.
kivu-profile diff - -
