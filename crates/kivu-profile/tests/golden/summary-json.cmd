# The summary as one JSON document.
kivu-profile summary --json inputs/base.capnp
