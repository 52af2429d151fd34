# A file that does not exist: the system's reason, exit 1.
kivu-profile summary inputs/missing.capnp
