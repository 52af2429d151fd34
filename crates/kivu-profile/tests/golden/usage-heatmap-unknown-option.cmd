# An unknown option of heatmap.
kivu-profile heatmap p.capnp -o a --colour
