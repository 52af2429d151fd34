# The whole SVG of the busy share, on standard output.
kivu-profile heatmap inputs/base.capnp -o -
