# A file that cannot be read, one that is not a GoogleTest result and an
# earlier merged report are each named, and fail the merge (exit 1) while the
# rest is still reported; the report this merge writes is passed over.
cp -r inputs/results results && cp inputs/page.xml results/page.xml
kivu-results merge --expected inputs/one-case.txt -o results/report.xml results/all_tile_permutation_works.xml
echo "status $?"
cp results/report.xml earlier-report.xml
kivu-results merge --expected inputs/one-case.txt -o results/report.xml results absent.xml earlier-report.xml >/dev/null
