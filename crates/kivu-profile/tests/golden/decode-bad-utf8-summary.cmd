# The summary reads no text, so the bad one does not stop it.
kivu-profile summary inputs/bad-utf8.capnp
