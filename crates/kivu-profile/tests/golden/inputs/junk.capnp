junk text, not a profile
