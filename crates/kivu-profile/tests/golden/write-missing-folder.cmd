# An output folder that does not exist.
kivu-profile trace inputs/base.capnp -o missing/trace.json
