# A full device as the output.
kivu-profile heatmap inputs/base.capnp -o /dev/full
