# A schema version newer than the tool reads; no output file is left.
kivu-profile trace inputs/schema-v4.capnp -o trace.json; status=$?; ls; exit $status
