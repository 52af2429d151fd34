# The tool and the workspace's version.
kivu-results --version
