# The same as JSON: "state": "quarantined" and the quarantine's reason and date.
# REQUIRES: private-network
mkdir -p .local/state/kivu && printf '{"version":1,"boards":[{"host":"%s","board":2,"reason":"failed 20 of 800","date":"2026-01-01T00:00:00Z"},{"host":"%s","board":9,"reason":"gone","date":"2026-01-01T00:00:00Z"},{"host":"elsewhere","board":1,"reason":"r","date":"2026-01-01T00:00:00Z"}]}' "$(uname -n)" "$(uname -n)" > .local/state/kivu/quarantine.json && KIVU_SIM_BOARDS=4 kivu-boards --json
