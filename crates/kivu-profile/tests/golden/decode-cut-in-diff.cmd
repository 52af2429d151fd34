# A damaged NEW profile in a comparison.
kivu-profile diff inputs/base.capnp inputs/cut.capnp
