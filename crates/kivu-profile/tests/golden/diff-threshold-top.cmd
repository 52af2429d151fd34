# A threshold above the growth: no regression; two tiles listed.
kivu-profile diff --threshold 30 --top 2 inputs/base.capnp inputs/slower.capnp
