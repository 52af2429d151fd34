# The largest threshold accepted.
kivu-profile diff --threshold 1000000000 --top 0 inputs/base.capnp inputs/slower.capnp
