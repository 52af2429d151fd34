# Written to a file, silent on success.
kivu-profile trace inputs/base.capnp --output=trace.json && cmp trace.json <(kivu-profile trace inputs/base.capnp -o -) && ls
