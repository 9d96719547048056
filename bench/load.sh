#!/bin/sh
# The load bench: flent's rrul_be (4 TCP flows each way at once, with
# pings) through pondrel's plain mode, -s and --cake at three rate pairs
# with 20 ms of round trip; a sweep of -s and --cake from 10 to 1000
# Mbit/s each way, with cake made by hand with tc beside them above 60000
# Kbit/s; and two hosts behind a NAT router, one with 8 flows and one with
# 1, downloads then uploads. All in the user-mode kernel of tests/uml/
# (UML_MODE=load, tests/uml/load.sh). Writes the tables into
# docs/performance.md, docs/load-*.tsv, docs/load.png and flent's data
# files into docs/flent/ after a full run on a quiet machine, into
# build-load/ otherwise (it says why), and prints a PASS or FAIL line per
# target. About 25 minutes; needs root: sudo sh bench/load.sh
# LOAD_LEN (flent's seconds a run, 20), LOAD_PAIRS, LOAD_SWEEP and
# LOAD_PARTS ("rrul sweep nat") narrow it for a quick try.
# sh bench/load.sh --docs DIR DOC writes DOC's tables from DIR's files.
set -eu
cd "$(dirname "$0")/.."

# The sweep's rows by rate: its own, and the rate pairs with the same rate
# each way, which it takes as its own.
sweep_rows() { # RRUL_TSV
	awk -F '\t' '$2 != "plain" && $3 == $4 && ($1 == "sweep" || $1 == "rrul")' "$1" |
		sort -t "$(printf '\t')" -s -k3,3n
}

# A ping's figure above idle, or "-" where flent gave none (-1).
above='function above(v, idle) { return v < 0 ? "-" : sprintf("%.1f", v - idle) } '

# The tables of docs/performance.md, from the files that a run wrote.
docs() { # DIR DOC
	rrul=$1/load-rrul.tsv nat=$1/load-nat.tsv
	# rrul_be at the rate pairs: each direction's goodput in % of its rate,
	# the ping's median and 99th percentile above idle, the guest's CPU.
	awk -F '\t' -v OFS='\t' "$above"'NR == 1 {
			print "in/out Kbit/s", "mode", "down %", "up %", "ping idle ms",
				"median +ms", "p99 +ms", "CPU %"; next }
		$1 == "rrul" { print $3 "/" $4, $2, int(100 * $6 / $3 + .5), int(100 * $7 / $4 + .5),
			$8, above($9, $8), above($10, $8), $11 }' "$rrul" |
		sh bench/table.sh "$2" load:rrul
	sweep_rows "$rrul" >"$1/sweep.tmp"
	awk -F '\t' -v OFS='\t' "$above"'BEGIN {
			print "Kbit/s each way", "mode", "down %", "up %", "median +ms", "p99 +ms", "CPU %" }
		{ print $3, $2, int(100 * $6 / $3 + .5), int(100 * $7 / $4 + .5),
			above($9, $8), above($10, $8), $11 }' "$1/sweep.tmp" |
		sh bench/table.sh "$2" load:sweep
	# Per mode, the highest rate of the sweep up to which every rate held
	# 90 % both ways, and the figures of the next one.
	awk -F '\t' -v OFS='\t' 'BEGIN {
			print "mode", "holds up to Kbit/s", "next Kbit/s", "its down %", "its up %", "its CPU %" }
		{
			if (!($2 in best)) { order[++n] = $2; best[$2] = "-"; next_[$2] = "-" }
			ok = $6 >= .9 * $3 && $7 >= .9 * $4
			if (ok && !failed[$2]) best[$2] = $3
			else if (!failed[$2]++) next_[$2] = $3 OFS int(100 * $6 / $3 + .5) OFS int(100 * $7 / $4 + .5) OFS $11
		}
		END { for (i = 1; i <= n; i++) {
			m = order[i]; print m, best[m], next_[m] == "-" ? "-\t-\t-\t-" : next_[m] } }' "$1/sweep.tmp" |
		sh bench/table.sh "$2" load:holds
	rm "$1/sweep.tmp"
	awk -F '\t' -v OFS='\t' 'NR == 1 {
			print "mode", "limit on", "Kbit/s", "direction", "host A, 8 flows", "host B, 1 flow",
				"B share %", "total %", "CPU %"; next }
		!/^#/ { print $1, $2, $3, $4, $5, $6, int(100 * $6 / ($5 + $6) + .5),
			int(100 * ($5 + $6) / $3 + .5), $7 }' "$nat" |
		sh bench/table.sh "$2" load:nat
	awk -F '\t' -v OFS='\t' 'BEGIN { print "run", "value" } /^#/ { sub(/^# /, ""); print }' "$rrul" |
		sh bench/table.sh "$2" load:run
}

if [ "${1:-}" = --docs ]; then
	docs "$2" "$3"
	exit
fi

# Before this adds its build to it, the machine's own load.
before=$(cut -d' ' -f1-3 /proc/loadavg)
# netperf, which flent drives, is in bookworm's non-free component.
if ! command -v netperf >/dev/null && [ ! -e /etc/apt/sources.list.d/pondrel-non-free.sources ] &&
	grep -q bookworm /etc/os-release; then
	printf 'Types: deb\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: non-free\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
		>/etc/apt/sources.list.d/pondrel-non-free.sources
	sh scripts/apt-update.sh
fi
sh scripts/deps.sh flent netperf fping iptables gnuplot-nox python3
dir=build-load
cmake -S . -B $dir -G Ninja >/dev/null
cmake --build $dir --parallel 2 --target pondrel >/dev/null
rm -rf $dir/uml/flent
mkdir -p $dir/uml

len=${LOAD_LEN:-20} parts=${LOAD_PARTS:-rrul sweep nat}
pairs=${LOAD_PAIRS:-20000/20000 50000/10000 100000/20000}
sweep=${LOAD_SWEEP:-10000 20000 50000 100000 200000 500000 1000000}
# Until pondrel has --cake, its place is taken by the same cake made by
# hand; such a run is no full one.
cake=pondrel
$dir/pondrel --help 2>&1 | grep -q -- --cake || cake=hand
printf 'len=%s\nparts="%s"\npairs="%s"\nsweep_rates="%s"\ncake_by=%s\n' \
	"$len" "$parts" "$pairs" "$sweep" $cake >$dir/uml/load.conf

# Only a full run on a quiet machine rewrites the committed figures;
# $narrowed and $busy hold the reasons against.
# shellcheck source=bench/quiet.sh
. bench/quiet.sh
narrowed=''
[ "$len|$parts|$pairs|$sweep" = "20|rrul sweep nat|20000/20000 50000/10000 100000/20000|10000 20000 50000 100000 200000 500000 1000000" ] ||
	narrowed="the bench was narrowed (LOAD_LEN, LOAD_PARTS, LOAD_PAIRS or LOAD_SWEEP)"
[ $cake = pondrel ] || narrowed="${narrowed:+$narrowed
}this pondrel has no --cake: cake was made by hand in its place"
above "${before%% *}" 0 && busy="load average ${before%% *} before the run, above half of $cpus CPUs"

guest_sampled load "the load bench" $dir/pondrel /dev/null /dev/null /dev/null $dir/uml

choose_out
# Only this run's data files stay beside its tables.
rm -rf $out/flent
mkdir -p $out/flent
# A run of the NAT part alone has none.
for f in "$dir"/uml/flent/*.flent.gz; do
	[ ! -e "$f" ] || cp "$f" $out/flent/
done
cp $dir/uml/nat.tsv $out/load-nat.tsv
{
	cat $dir/uml/rrul.tsv
	printf '# %s\t%s\n' "flent test, s a run" "rrul_be, $len" "cake" "$cake" \
		"seconds" $((end - start)) "CPUs" "$cpus" "load before" "$before" \
		"load during, highest" "$during" "load after" "$after"
} >$out/load-rrul.tsv
docs $out $doc
sweep_rows $out/load-rrul.tsv >$dir/sweep.tsv
# The plot draws the sweep, which a narrowed run may leave out.
[ ! -s $dir/sweep.tsv ] || gnuplot -e "data='$dir/sweep.tsv'; out='$out/load.png'" bench/load.gp

# The targets: --cake's fairness behind NAT and its rrul_be figures from
# 10000 to 60000 Kbit/s.
{
	awk -F '\t' '$1 == "cake" && $2 == "wan" {
			share = $6 / ($5 + $6); total = ($5 + $6) / $3
			printf("%s: --cake NAT 8-vs-1 %s: single-flow host %.1f %% (>= 45), both %.1f %% (>= 90)\n",
				share >= .45 && total >= .9 ? "PASS" : "FAIL", $4, 100 * share, 100 * total)
		}' $out/load-nat.tsv
	awk -F '\t' '$2 == "cake" && $3 >= 10000 && $3 <= 60000 && $4 >= 10000 && $4 <= 60000 {
			d = $6 / $3; u = $7 / $4; m = $9 - $8; p = $10 - $8
			printf("%s: --cake rrul_be %s/%s Kbit/s: down %.0f %%, up %.0f %% (>= 85), ping +%.1f ms median (<= 2), +%.1f ms p99 (<= 5)\n",
				d >= .85 && u >= .85 && m <= 2 && p <= 5 ? "PASS" : "FAIL", $3, $4, 100 * d, 100 * u, m, p)
		}' $out/load-rrul.tsv
} | tee $dir/targets
end_with_targets load tables
