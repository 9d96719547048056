#!/bin/sh
# Fails when the traffic figures quoted in docs/performance.md and
# man/pondrel.8 are not what bench/traffic-docs.sh writes from
# docs/traffic.tsv: a figure edited by hand, or new data committed without
# its documents; or when what it writes stops following the data, shows a
# negative delay (ping's noise) or draws a conclusion. Needs only awk and
# diff; changes nothing in the checkout.
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

cp "$root/docs/traffic.tsv" "$tmp/now.tsv"
regenerate "$tmp/now.tsv" "$tmp/now"
status=0
for f in $docs; do
	if ! diff -u "$root/$f" "$tmp/now/${f##*/}"; then
		echo "FAIL: $f does not match docs/traffic.tsv;" \
			"run sh bench/traffic-docs.sh docs/traffic.tsv $docs" >&2
		status=1
	fi
done

# The data with framing points, as bench/traffic.sh writes them: rows
# from before those points gain their framing ("-") and a model, and data
# without any gain each mode and direction at 10000 Kbit/s and 20 ms again
# with --atm --overhead 44. The same without the framing points is bare.
awk -F '\t' -v OFS='\t' '
	NR == 1 { print $0 (NF == 15 ? "\tframing\tmodel_ratio" : ""); next }
	/^#/ { meta = meta $0 "\n"; next }
	NF == 15 { $0 = $0 "\t-\t0.956" }
	{ print }
	$16 != "-" { has = 1 }
	$16 == "-" && $2 != "-" && $3 == 20 && $5 == 10000 {
		$7 = 8200; $8 = 8100; $9 = 8300; $12 += 3; $16 = "--atm --overhead 44"; $17 = 0.828
		framed[++n] = $0
	}
	END {
		for (i = 1; !has && i <= n; i++) print framed[i]
		printf "%s", meta
	}
' "$root/docs/traffic.tsv" >"$tmp/framed.tsv"
awk -F '\t' 'NR == 1 || /^#/ || $16 == "-"' "$tmp/framed.tsv" >"$tmp/bare.tsv"
regenerate "$tmp/framed.tsv" "$tmp/framed"
regenerate "$tmp/bare.tsv" "$tmp/bare"

# The documents must follow the data: each change of a row must show.
# what | TSV | awk condition on the row | column | new value
while IFS='|' read -r what tsv cond col value; do
	awk -F '\t' -v OFS='\t' -v col="$col" -v value="$value" \
		"NR > 1 && !/^#/ && ($cond) { \$col = value } { print }" \
		"$tmp/$tsv.tsv" >"$tmp/changed.tsv"
	regenerate "$tmp/changed.tsv" "$tmp/changed"
	for f in $docs; do
		if cmp -s "$tmp/$tsv/${f##*/}" "$tmp/changed/${f##*/}"; then
			echo "FAIL: $f stays the same when $what changes" >&2
			status=1
		fi
	done
done <<'EOF'
a median goodput|now|NR == 3|7|4321
a median delay|now|NR == 3|12|23.4
a framing point's median goodput|framed|$16 != "-" && $1 == "ingress" && $2 == "shaped"|7|7777
a framing point's model|framed|$16 != "-" && $1 == "egress" && $2 == "plain"|17|0.777
EOF
for f in $docs; do
	if cmp -s "$tmp/bare/${f##*/}" "$tmp/framed/${f##*/}"; then
		echo "FAIL: $f does not show the framing points" >&2
		status=1
	fi
done

# Figures only: the committed data hold negative delays (a loaded ping
# faster than the idle one), which must not come out as such, and the
# generated text leaves the choosing to the text around it.
for f in $docs; do
	awk '/traffic:[a-z]+:end/ { on = 0 } on { print FILENAME ": " $0 }
		/traffic:[a-z]+:begin/ { on = 1 }' "$tmp/now/${f##*/}" "$tmp/framed/${f##*/}" |
		grep -E '(^|[ (–])-[0-9]|[Cc]hoose|should' >&2 && {
		echo "FAIL: $f: the generated text above shows a negative delay or a judgement" >&2
		status=1
	}
done
[ $status = 0 ] && echo "traffic figures in $docs match docs/traffic.tsv"
exit $status
