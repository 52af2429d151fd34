# The trace JSON on standard output.
kivu-profile trace inputs/base.capnp -o -
