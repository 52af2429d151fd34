# Different clocks: a warning on standard error.
kivu-profile diff --json inputs/base.capnp inputs/other-clock.capnp
