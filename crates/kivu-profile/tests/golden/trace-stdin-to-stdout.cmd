# "-" on both sides.
kivu-profile trace - -o - < inputs/slower.capnp
