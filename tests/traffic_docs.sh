#!/bin/sh
# Fails when the traffic figures quoted in docs/performance.md and
# man/pondrel.8 are not what bench/traffic-docs.sh writes from
# docs/traffic.tsv: a figure edited by hand, or new data committed without
# its documents. Needs only awk and diff; changes nothing in the checkout.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
docs="docs/performance.md man/pondrel.8"

regenerate() { # TSV DIR: the documents written from TSV into DIR
	mkdir -p "$2"
	for f in $docs; do
		cp "$root/$f" "$2/"
	done
	# shellcheck disable=SC2046 # one word per document
	sh "$root/bench/traffic-docs.sh" "$1" $(for f in $docs; do echo "$2/${f##*/}"; done)
}

regenerate "$root/docs/traffic.tsv" "$tmp/now"
status=0
for f in $docs; do
	if ! diff -u "$root/$f" "$tmp/now/${f##*/}"; then
		echo "FAIL: $f does not match docs/traffic.tsv;" \
			"run sh bench/traffic-docs.sh docs/traffic.tsv $docs" >&2
		status=1
	fi
done

# The documents must follow the data: a median of the goodput (column 7)
# or of the added delay (column 12) changed must show.
for col in 7 12; do
	awk -F '\t' -v OFS='\t' -v col=$col 'NR == 3 { $col = 2 * $col + 7 } { print }' \
		"$root/docs/traffic.tsv" >"$tmp/changed.tsv"
	regenerate "$tmp/changed.tsv" "$tmp/changed$col"
	for f in $docs; do
		if cmp -s "$tmp/now/${f##*/}" "$tmp/changed$col/${f##*/}"; then
			echo "FAIL: $f stays the same when column $col of the data changes" >&2
			status=1
		fi
	done
done
[ $status = 0 ] && echo "traffic figures in $docs match docs/traffic.tsv"
exit $status
