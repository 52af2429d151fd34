# A text that is not UTF-8, found while writing: nothing on standard output.
kivu-profile trace inputs/bad-utf8.capnp -o -
