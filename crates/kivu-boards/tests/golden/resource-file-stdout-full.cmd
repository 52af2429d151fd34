# Standard output that cannot be written: exit 1 with the reason.
kivu-boards resource-spec >/dev/full
