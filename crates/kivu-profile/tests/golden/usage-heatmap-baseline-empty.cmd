# An empty baseline path.
kivu-profile heatmap p.capnp -o h --baseline=
