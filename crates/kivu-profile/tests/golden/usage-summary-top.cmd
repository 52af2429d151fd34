# --top belongs to diff.
kivu-profile summary p.capnp --top=3
