# A profile through a pipe reads as from its file.
cat inputs/slower.capnp | kivu-profile summary -
