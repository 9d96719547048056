#!/bin/sh
# Fails when the tables in docs/performance.md are not what bench/traffic.sh
# and bench/load.sh write from the committed data (a figure edited by hand,
# or data committed without its tables), when a table stops following its
# data, when anything but a table stands between the marks, or when the
# table writer accepts a document without the marks. Needs only awk and
# diff; changes nothing in the checkout.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$root"
doc=docs/performance.md
status=0
fail() {
	echo "FAIL: $*" >&2
	status=1
}

# The load bench's data, once a full run committed it; until then its
# blocks stand empty.
mkdir -p "$tmp/load"
if [ -f docs/load-rrul.tsv ]; then
	cp docs/load-rrul.tsv docs/load-nat.tsv "$tmp/load/"
else
	awk '/^<!-- load:[a-z]+:begin/ { on = 1; next } /^<!-- load:[a-z]+:end/ { on = 0 } on' $doc |
		grep -q . && fail "$doc has load tables but no docs/load-rrul.tsv"
	printf 'tag\tmode\tin_kbit\tout_kbit\trtt_ms\tdown_kbit\tup_kbit\tidle_ms\tping_median_ms\tping_p99_ms\tcpu_pct\tcake\n' >"$tmp/load/load-rrul.tsv"
	printf 'mode\twhere\tkbit\tdirection\ta_kbit\tb_kbit\tcpu_pct\tcake\n' >"$tmp/load/load-nat.tsv"
fi
# The controller's bench's likewise.
ar_heads() { # DIR
	printf 'config\tsecond\tcap_down_kbit\tcap_up_kbit\trate_in_kbit\trate_out_kbit\tdown_kbit\tup_kbit\n' >"$1/autorate-series.tsv"
	printf 'config\tsent_s\tping_ms\tanswered\n' >"$1/autorate-ping.tsv"
	printf 'config\tidle_ms\tcpu_pct\n' >"$1/autorate-runs.tsv"
}
if [ -f docs/autorate-runs.tsv ]; then
	cp docs/autorate-runs.tsv docs/autorate-series.tsv docs/autorate-ping.tsv "$tmp/load/"
else
	awk '/^<!-- autorate:[a-z]+:begin/ { on = 1; next } /^<!-- autorate:[a-z]+:end/ { on = 0 } on' $doc |
		grep -q . && fail "$doc has the controller's tables but no docs/autorate-runs.tsv"
	ar_heads "$tmp/load"
fi
regenerate() { # TRAFFIC_TSV LOAD_DIR OUT
	cp $doc "$3"
	sh bench/traffic.sh --docs "$1" "$3"
	sh bench/load.sh --docs "$2" "$3"
	sh bench/autorate.sh --docs "$2" "$3"
}
regenerate docs/traffic.tsv "$tmp/load" "$tmp/now.md"
diff -u $doc "$tmp/now.md" ||
	fail "$doc does not match its data; run sh bench/traffic.sh --docs docs/traffic.tsv $doc (and bench/load.sh --docs docs $doc, bench/autorate.sh --docs docs $doc)"

# Data with a row of each kind under the committed data's heads, so that
# the load tables are proven whatever a full run committed.
cp "$tmp/load/load-rrul.tsv" "$tmp/load/load-nat.tsv" "$tmp/"
mkdir -p "$tmp/rows"
{
	head -n 1 "$tmp/load-rrul.tsv"
	printf 'rrul\tcake\t20000\t20000\t20\t18400\t18200\t20.4\t21.0\t23.9\t71\t-\n'
	printf 'sweep\tcake\t10000\t10000\t20\t9300\t9200\t20.4\t21.0\t23.9\t60\t-\n'
	printf 'sweep\tcake\t100000\t100000\t20\t60000\t41000\t20.4\t21.0\t60.9\t99\t-\n'
	printf '# seconds\t1500\n'
} >"$tmp/rows/load-rrul.tsv"
{
	head -n 1 "$tmp/load-nat.tsv"
	printf 'cake\twan\t20000\tdown\t9300\t9100\t70\t-\n'
} >"$tmp/rows/load-nat.tsv"
ar_heads "$tmp/rows"
printf 'auto\t1\t20000\t10000\t5000\t5000\t9000\t9000\nauto\t2\t20000\t10000\t20000\t10000\t15000\t8000\n' \
	>>"$tmp/rows/autorate-series.tsv"
printf 'auto\t2.0\t3.3\t1\nauto\t2.2\t5000\t0\nauto\t2.4\t4.3\t1\n' >>"$tmp/rows/autorate-ping.tsv"
printf 'auto\t0.3\t0.81\n# seconds\t600\n' >>"$tmp/rows/autorate-runs.tsv"
regenerate docs/traffic.tsv "$tmp/rows" "$tmp/rows.md"

# Each change of a figure in the data must show in the tables.
# what | file | awk condition on the row | column | new value
while IFS='|' read -r what file cond col value; do
	rm -rf "$tmp/changed"
	cp -r "$tmp/rows" "$tmp/changed"
	cp docs/traffic.tsv "$tmp/changed/traffic.tsv"
	awk -F '\t' -v OFS='\t' -v col="$col" -v value="$value" \
		"NR > 1 && !/^#/ && ($cond) { \$col = value } { print }" \
		"$tmp/changed/$file" >"$tmp/changed.tsv"
	mv "$tmp/changed.tsv" "$tmp/changed/$file"
	regenerate "$tmp/changed/traffic.tsv" "$tmp/changed" "$tmp/changed.md"
	cmp -s "$tmp/rows.md" "$tmp/changed.md" && fail "$doc stays the same when $what changes"
done <<'EOF'
a traffic median goodput|traffic.tsv|NR == 3|7|4321
a traffic median delay|traffic.tsv|NR == 3|12|23.4
a framing point's model|traffic.tsv|$16 != "-"|17|0.777
rrul_be's download|load-rrul.tsv|$1 == "rrul"|6|11000
rrul_be's ping p99|load-rrul.tsv|$1 == "rrul"|10|40.5
the sweep's upload at its top|load-rrul.tsv|$3 == 100000|7|95000
the single-flow host behind NAT|load-nat.tsv|1|6|2000
the controller's download|autorate-series.tsv|$2 == 2|7|9000
the controller's ping|autorate-ping.tsv|$2 == 2.4|3|40.3
the controller's CPU|autorate-runs.tsv|1|3|1.5
EOF

# Tables only between the marks: a line of text there would be a figure
# stated in prose by a generator.
for f in "$tmp/now.md" "$tmp/rows.md"; do
	awk '/^<!-- [a-z]+:[a-z]+:end/ { on = 0 } on && !/^\|/ { print "  " $0 }
		/^<!-- [a-z]+:[a-z]+:begin/ { on = 1 }' "$f" | grep . >&2 &&
		fail "$doc: the generated blocks above hold more than tables"
done
grep -q '^| 10000 | cake | 93 | 92 |' "$tmp/rows.md" ||
	fail "the sweep's row for 10000 Kbit/s is not in the table"
# The rate pair of 20000 each way joins the sweep between its rates.
grep -q '^| cake | 20000 | 100000 | 60 | 41 | 99 |' "$tmp/rows.md" ||
	fail "the sweep's highest held rate is not 20000 Kbit/s, with the next rate's figures"

# From the third second on, an unanswered ping counted as 5000 ms.
grep -q '^| auto | --cake 5000-40000 5000-40000 | 76.7 | 75.0 | 80.0 | 0.3 | 4.0 | 4999.7 | 1 | 0.81 |' "$tmp/rows.md" ||
	fail "the controller's row is not in the table"
printf 'no marks\n' >"$tmp/bare.md"
printf 'a\tb\n1\t2\n' | sh bench/table.sh "$tmp/bare.md" x:y 2>/dev/null &&
	fail "bench/table.sh accepted a document without the marks"
[ $status = 0 ] && echo "the tables in $doc match their data and follow it"
exit $status
