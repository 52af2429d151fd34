# The version, normalised to $VERSION.
kivu-boards --version
