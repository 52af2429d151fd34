# Standard output closed.
kivu-profile summary inputs/base.capnp >&-
