#!/bin/sh
# The traffic matrix: TCP goodput through pondrel's limits, measured with
# iperf3 in the user-mode kernel of tests/uml/ (booted in its traffic mode)
# in each direction, at 0, 5, 20 and 50 ms of round trip, at 1, 10, 50 and
# 100 Mbit/s and without a limit, several runs per point. From those runs
# it writes docs/traffic.tsv, draws docs/goodput.png and regenerates the
# figures in docs/performance.md and man/pondrel.8. Takes about 10 minutes.
# Needs root (it installs what it needs with apt-get, and the user-mode
# kernel makes its namespaces as root): sudo sh bench/traffic.sh
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh gnuplot-nox
dir=build-traffic
cmake -S . -B $dir -G Ninja -DPONDREL_TESTS=ON >/dev/null
cmake --build $dir --parallel 2 --target pondrel pondrel_strerror uml_wire_check uml_race >/dev/null

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
# run in the order it ran.
awk -F '\t' -v OFS='\t' -v seconds=$((end - start)) \
	-v cpus="$(nproc)" -v before="$before" -v after="$after" '
	NR == 1 { next }
	/^#/ { meta = meta $0 "\n"; next }
	{
		key = $1 OFS $2 OFS $3 OFS $4
		if (!(key in n)) order[++points] = key
		v[key, ++n[key]] = $6
		each[key] = n[key] == 1 ? $6 : each[key] "," $6
	}
	END {
		print "direction", "rtt_ms", "ping_ms", "set_kbit", "runs",
			"median_kbit", "min_kbit", "max_kbit", "ratio", "each_kbit"
		for (p = 1; p <= points; p++) {
			k = order[p]
			c = n[k]
			for (i = 1; i <= c; i++) s[i] = v[k, i] + 0
			for (i = 2; i <= c; i++)
				for (j = i; j > 1 && s[j - 1] > s[j]; j--) {
					t = s[j]; s[j] = s[j - 1]; s[j - 1] = t
				}
			med = c % 2 ? s[(c + 1) / 2] : int((s[c / 2] + s[c / 2 + 1]) / 2)
			split(k, f, OFS)
			ratio = f[4] == "-" ? "-" : sprintf("%.3f", med / f[4])
			print k, c, med, s[1], s[c], ratio, each[k]
		}
		printf "%s", meta
		printf "# seconds\t%s\n# cpus\t%s\n# load_before\t%s\n# load_after\t%s\n",
			seconds, cpus, before, after
	}' $dir/uml/traffic-runs.tsv >docs/traffic.tsv

rtts=$(awk -F '\t' 'NR > 1 && !/^#/ && !seen[$2]++ { printf "%s ", $2 }' docs/traffic.tsv)
gnuplot -e "data='docs/traffic.tsv'; out='docs/goodput.png'; rtts='$rtts'" bench/goodput.gp
sh bench/traffic-docs.sh docs/traffic.tsv docs/performance.md man/pondrel.8
cat docs/traffic.tsv
echo "traffic: $((end - start)) s, load average $before before, $after after;" \
	"docs/traffic.tsv, docs/goodput.png, docs/performance.md and man/pondrel.8 rewritten"
