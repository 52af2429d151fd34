# A corrupt file: no board is handed out, exit 4, nothing written.
echo '{"version":1,"boards":[{"board":"2"}]}' > q.json && KIVU_QUARANTINE_FILE=q.json kivu-boards resource-spec -o boards.json; status=$?; test ! -e boards.json && exit $status
