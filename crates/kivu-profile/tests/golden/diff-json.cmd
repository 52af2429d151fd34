# The comparison as one JSON document.
kivu-profile diff --json inputs/base.capnp inputs/slower.capnp
