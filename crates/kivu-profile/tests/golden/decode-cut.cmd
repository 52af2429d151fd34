# A file cut in half.
kivu-profile summary inputs/cut.capnp
