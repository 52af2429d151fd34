# -o at the end.
kivu-profile trace p.capnp -o
