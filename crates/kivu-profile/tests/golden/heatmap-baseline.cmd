# The change from a baseline; the tiles not in the profile left out here.
kivu-profile heatmap inputs/slower.capnp --baseline inputs/base.capnp -o heat.svg && grep -v "not in the profile" heat.svg
