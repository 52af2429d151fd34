# The baseline from standard input.
kivu-profile heatmap inputs/slower.capnp --baseline - -o heat.svg < inputs/base.capnp && grep -m 2 "<text" heat.svg
