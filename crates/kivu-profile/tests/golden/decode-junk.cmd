# Text, no profile at all.
kivu-profile summary inputs/junk.capnp
