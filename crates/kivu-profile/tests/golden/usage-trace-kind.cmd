# --kind belongs to heatmap.
kivu-profile trace p.capnp -o a --kind idle
