# One step kind's share; the tiles not in the profile left out here.
kivu-profile heatmap inputs/base.capnp --kind compute -o heat.svg && grep -v "not in the profile" heat.svg
