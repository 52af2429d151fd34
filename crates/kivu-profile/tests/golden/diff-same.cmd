# A profile against itself: nothing changed.
kivu-profile diff inputs/base.capnp inputs/base.capnp
