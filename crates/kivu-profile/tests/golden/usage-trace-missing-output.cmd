# trace without -o.
kivu-profile trace p.capnp
