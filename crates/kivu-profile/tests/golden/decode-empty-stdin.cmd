# Nothing on standard input.
kivu-profile summary -
