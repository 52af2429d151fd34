# The base from standard input.
kivu-profile diff - inputs/slower.capnp --top 1 < inputs/base.capnp
