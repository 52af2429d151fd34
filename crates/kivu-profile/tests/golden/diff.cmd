# A regression beyond the default 5%: exit status 3.
kivu-profile diff inputs/base.capnp inputs/slower.capnp
