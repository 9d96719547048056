#!/bin/sh
# The controller's bench: a router's ar0 behind a "modem" whose capacity
# each way follows a 120 s trace of steps and ramps between 5 and 40
# Mbit/s, with 500 ms of buffer, under iperf3 both ways (2 flows each) and
# a ping every 0.2 s; the same trace with no limit, --cake at 40000 and at
# 5000 each way, and the controller over 5000-40000 each way. All in the
# user-mode kernel of tests/uml/ (UML_MODE=autorate,
# bench/guest/autorate.sh). Prints a PASS or FAIL line per target; writes
# the table into docs/performance.md, docs/autorate*.tsv and
# docs/autorate.png after a full run on a quiet machine, into
# build-autorate/ otherwise (it says why). About 10 minutes; needs root:
# sudo sh bench/autorate.sh. LOAD_LEN (the trace's seconds, 120) and
# AUTORATE_CONFIGS ("none max min auto") narrow it for a quick try.
# sh bench/autorate.sh --docs DIR DOC writes DOC's tables from DIR's files.
set -eu
cd "$(dirname "$0")/.."

# Per configuration, from the second s on (TCP's start left out): goodput
# both ways as a share of the capacity, then each way, and the ping's
# median and 95th percentile above idle; tab-separated, a header first.
summary() { # DIR
	sort -t "$(printf '\t')" -k1,1 -k3,3g "$1/autorate-ping.tsv" | awk -F '\t' -v OFS='\t' '
		FNR == 1 { f++ }
		f == 1 { if (FNR > 1 && !/^#/) { idle[$1] = $2; cpu[$1] = $3 }; next }
		f == 2 { if (FNR > 1 && $2 >= 2) {
				if (!($1 in cap)) order[++n] = $1
				cap[$1] += $3 + $4; cd[$1] += $3; cu[$1] += $4; gd[$1] += $7; gu[$1] += $8 }
			next }
		$1 != "config" && $2 >= 2 { p[$1, ++k[$1]] = $3; lost[$1] += !$4 }
		END {
			name["none"] = "no limit"; name["max"] = "--cake 40000 40000"
			name["min"] = "--cake 5000 5000"; name["auto"] = "--cake 5000-40000 5000-40000"
			print "config", "limit", "goodput %", "down %", "up %", "ping idle ms",
				"median +ms", "p95 +ms", "unanswered pings", "controller CPU %"
			for (i = 1; i <= n; i++) {
				c = order[i]; m = k[c]
				printf "%s\t%s\t%.1f\t%.1f\t%.1f\t%s\t%.1f\t%.1f\t%d\t%s\n", c, name[c],
					100 * (gd[c] + gu[c]) / cap[c], 100 * gd[c] / cd[c], 100 * gu[c] / cu[c],
					idle[c], p[c, int((m + 1) / 2)] - idle[c], p[c, int(.95 * m + .999)] - idle[c],
					lost[c], cpu[c]
			}
		}' "$1/autorate-runs.tsv" "$1/autorate-series.tsv" -
}

docs() { # DIR DOC
	summary "$1" | sh bench/table.sh "$2" autorate:results
	awk -F '\t' -v OFS='\t' 'BEGIN { print "run", "value" } /^#/ { sub(/^# /, ""); print }' \
		"$1/autorate-runs.tsv" | sh bench/table.sh "$2" autorate:run
}

if [ "${1:-}" = --docs ]; then
	docs "$2" "$3"
	exit
fi

before=$(cut -d' ' -f1-3 /proc/loadavg)
# busybox-static, for the ping, and iperf3 are in deps.sh's own list.
sh scripts/deps.sh jq gnuplot-nox
dir=build-autorate
# Every default target: the controller may be a binary of its own.
cmake -S . -B $dir -G Ninja -DPONDREL_TESTS=OFF >/dev/null
cmake --build $dir --parallel 2 >/dev/null
mkdir -p $dir/uml
len=${LOAD_LEN:-120} configs=${AUTORATE_CONFIGS:-none max min auto}
printf 'len=%s\nconfigs="%s"\n' "$len" "$configs" >$dir/uml/autorate.conf

# shellcheck source=bench/quiet.sh
. bench/quiet.sh
narrowed=''
[ "$len|$configs" = "120|none max min auto" ] ||
	narrowed="the bench was narrowed (LOAD_LEN or AUTORATE_CONFIGS)"
above "${before%% *}" 0 && busy="load average ${before%% *} before the run, above half of $cpus CPUs"

guest_sampled autorate "the controller's bench" $dir/pondrel /dev/null /dev/null /dev/null $dir/uml

choose_out
cp $dir/uml/autorate-series.tsv $dir/uml/autorate-ping.tsv $out/ 2>/dev/null || :
{
	cat $dir/uml/autorate-runs.tsv
	printf '# %s\t%s\n' "trace, s a configuration" "$len" "seconds" $((end - start)) \
		"CPUs" "$cpus" "load before" "$before" "load during, highest" "$during" "load after" "$after"
} >$out/autorate-runs.tsv
docs $out $doc
gnuplot -e "dir='$out'; out='$out/autorate.png'; configs='$configs'" bench/autorate.gp
summary $out >$dir/summary.tsv

# The targets, from the summary's columns: goodput 3, median 7, p95 8, CPU 10.
awk -F '\t' '{ g[$1] = $3; med[$1] = $7; p95[$1] = $8; cpu[$1] = $10 }
	function line(ok, what) { printf "%s: %s\n", ok ? "PASS" : "FAIL", what }
	END {
		a = "auto" in g
		line(a && g["auto"] >= 65, sprintf("controller goodput %s %% of capacity (>= 65)", g["auto"]))
		line(a && med["auto"] <= 10, sprintf("controller ping median +%s ms (<= 10)", med["auto"]))
		line(a && "max" in g && p95["auto"] <= p95["max"] / 4,
			sprintf("controller ping p95 +%s ms (<= 1/4 of fixed-max +%s ms)", p95["auto"], p95["max"]))
		line(a && cpu["auto"] < 2, sprintf("controller CPU %s %% (< 2)", cpu["auto"]))
		v = "max" in g && "min" in g && p95["max"] > 100 && g["min"] < 60
		line(v, sprintf("the trace tests a variable link: fixed-max p95 +%s ms (> 100), fixed-min %s %% (< 60)%s",
			p95["max"], g["min"], v ? "" : "; else it is no test of one"))
	}' $dir/summary.tsv | tee $dir/targets
end_with_targets autorate table
