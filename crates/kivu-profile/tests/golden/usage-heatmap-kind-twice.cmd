# Two kinds.
kivu-profile heatmap p.capnp -o a --kind idle --kind=compute
