# diff with one profile.
kivu-profile diff base.capnp
