# An empty output path.
kivu-profile trace p.capnp --output=
