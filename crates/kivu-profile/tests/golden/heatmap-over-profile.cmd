# The output may not be the profile itself, also when it comes on standard input; the file stays as it was.
cp inputs/base.capnp p.capnp && kivu-profile heatmap - -o p.capnp < p.capnp; status=$?; cmp p.capnp inputs/base.capnp && exit $status
