# "--" ends the options.
kivu-profile trace p.capnp -- -o t.json
