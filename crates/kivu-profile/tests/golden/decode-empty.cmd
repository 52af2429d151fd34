# An empty file.
kivu-profile summary inputs/empty.capnp
