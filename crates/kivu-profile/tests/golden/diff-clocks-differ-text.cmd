# Different clocks in the text comparison.
kivu-profile diff inputs/base.capnp inputs/other-clock.capnp
