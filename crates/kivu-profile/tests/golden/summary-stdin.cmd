# A profile on standard input, named so.
kivu-profile summary - < inputs/base.capnp
