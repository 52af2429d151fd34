# The text summary of a small profile (inputs: make_golden_profiles).
kivu-profile summary inputs/base.capnp
