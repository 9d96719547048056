#!/bin/sh
# The traffic matrix: TCP goodput through pondrel's limits, measured with
# iperf3 in the user-mode kernel of tests/uml/ (booted in its traffic mode)
# in each direction, in the plain and the shaped (--shape) mode, at 0, 5,
# 20 and 50 ms of round trip, at 1, 10, 50 and 100 Mbit/s and without a
# limit, several runs per point, with ping under load at each. From those
# runs it writes docs/traffic.tsv, draws docs/goodput.png and regenerates
# the figures in docs/performance.md and man/pondrel.8. Takes about 20
# minutes. Needs root (it installs what it needs with apt-get, and the
# user-mode kernel makes its namespaces as root): sudo sh bench/traffic.sh
# TRAFFIC_RUNS, TRAFFIC_RTTS and TRAFFIC_RATES narrow the matrix for a
# quick try (e.g. TRAFFIC_RUNS=1 TRAFFIC_RTTS=20 TRAFFIC_RATES=10000); the
# documents then quote only what was measured, so commit only a full run.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh gnuplot-nox
dir=build-traffic
cmake -S . -B $dir -G Ninja -DPONDREL_TESTS=ON >/dev/null
cmake --build $dir --parallel 2 --target pondrel pondrel_strerror uml_wire_check uml_race >/dev/null
mkdir -p $dir/uml

printf 'runs=%s\nrtts="%s"\nrates="%s"\n' "${TRAFFIC_RUNS:-3}" \
	"${TRAFFIC_RTTS:-0 5 20 50}" "${TRAFFIC_RATES:-1000 10000 50000 100000}" \
	>$dir/uml/traffic.conf

# Other work on the machine slows the user-mode kernel, so the load goes
# into the data; the user-mode kernel itself adds about 1 to it.
before=$(cut -d' ' -f1-3 /proc/loadavg)
start=$(date +%s)
UML_MODE=traffic sh tests/uml/run.sh $dir/pondrel $dir/tests/uml/uml_wire_check \
	$dir/tests/uml/uml_race $dir/pondrel_strerror $dir/uml >$dir/traffic.log || {
	tail -n 20 $dir/traffic.log
	echo "FAIL: the traffic matrix did not complete; see $dir/traffic.log" >&2
	exit 1
}
end=$(date +%s)
after=$(cut -d' ' -f1-3 /proc/loadavg)

# One row per point: the median, lowest and highest of its runs, and each
# run in the order it ran; the same for the delay that the load added to
# the idle round trip (ms; "-" for a run whose loaded pings all got lost).
awk -F '\t' -v OFS='\t' -v seconds=$((end - start)) \
	-v cpus="$(nproc)" -v before="$before" -v after="$after" '
	function sort(a, m,    i, j, t) { # a[1..m] in place, ascending
		for (i = 2; i <= m; i++)
			for (j = i; j > 1 && a[j - 1] > a[j]; j--) {
				t = a[j]; a[j] = a[j - 1]; a[j - 1] = t
			}
	}
	function median(a, m) { return m % 2 ? a[(m + 1) / 2] : (a[m / 2] + a[m / 2 + 1]) / 2 }
	NR == 1 { next }
	/^#/ { meta = meta $0 "\n"; next }
	{
		key = $1 OFS $2 OFS $3 OFS $4 OFS $5
		if (!(key in n)) order[++points] = key
		v[key, ++n[key]] = $7
		each[key] = n[key] == 1 ? $7 : each[key] "," $7
		added = $8 == "-" ? "-" : sprintf("%.1f", $8 - $4)
		eachd[key] = n[key] == 1 ? added : eachd[key] "," added
		if (added != "-") d[key, ++nd[key]] = added
	}
	END {
		print "direction", "mode", "rtt_ms", "ping_ms", "set_kbit", "runs",
			"median_kbit", "min_kbit", "max_kbit", "ratio", "each_kbit",
			"added_ms", "added_min_ms", "added_max_ms", "each_added_ms"
		for (p = 1; p <= points; p++) {
			k = order[p]
			c = n[k]
			for (i = 1; i <= c; i++) g[i] = v[k, i] + 0
			sort(g, c)
			med = int(median(g, c))
			split(k, f, OFS)
			ratio = f[5] == "-" ? "-" : sprintf("%.3f", med / f[5])
			dm = dl = dh = "-"
			if (m = nd[k]) {
				for (i = 1; i <= m; i++) t[i] = d[k, i] + 0
				sort(t, m)
				dm = sprintf("%.1f", median(t, m))
				dl = sprintf("%.1f", t[1]); dh = sprintf("%.1f", t[m])
			}
			print k, c, med, g[1], g[c], ratio, each[k], dm, dl, dh, eachd[k]
		}
		printf "%s", meta
		printf "# seconds\t%s\n# cpus\t%s\n# load_before\t%s\n# load_after\t%s\n",
			seconds, cpus, before, after
	}' $dir/uml/traffic-runs.tsv >docs/traffic.tsv

rtts=$(awk -F '\t' 'NR > 1 && !/^#/ && !seen[$3]++ { printf "%s ", $3 }' docs/traffic.tsv)
gnuplot -e "data='docs/traffic.tsv'; out='docs/goodput.png'; rtts='$rtts'" bench/goodput.gp
sh bench/traffic-docs.sh docs/traffic.tsv docs/performance.md man/pondrel.8
cat docs/traffic.tsv
echo "traffic: $((end - start)) s, load average $before before, $after after;" \
	"docs/traffic.tsv, docs/goodput.png, docs/performance.md and man/pondrel.8 rewritten"
