# Two outputs.
kivu-profile trace p.capnp -o a --output=b
