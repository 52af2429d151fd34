# A step kind that does not exist.
kivu-profile heatmap p.capnp -o a --kind busy
