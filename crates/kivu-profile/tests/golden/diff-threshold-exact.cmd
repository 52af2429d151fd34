# Growth of exactly the threshold does not count; compute grew by 26.09%.
kivu-profile diff --threshold=26.086956 --top 0 inputs/base.capnp inputs/slower.capnp
