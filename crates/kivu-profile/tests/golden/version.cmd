# The version, normalised to $VERSION.
kivu-profile --version
