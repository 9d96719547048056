#!/bin/sh
# The traffic matrix: TCP goodput through pondrel's limits, measured with
# iperf3 in the user-mode kernel of tests/uml/ (booted in its traffic mode)
# in each direction, in the plain and the shaped (--shape) mode, at 0, 5,
# 20 and 50 ms of round trip, at 1, 10, 50 and 100 Mbit/s and without a
# limit, several runs per point, with ping under load at each; and, with
# the link's framing given (--atm --overhead 44), at 10 Mbit/s and 20 ms.
# From those runs it writes traffic.tsv, draws goodput.png and writes the
# tables of performance.md with bench/table.sh: into docs/ after a full run
# on a quiet machine, into build-traffic/ otherwise (it says why).
# Takes about 20 minutes. Needs root (it installs what it needs with
# apt-get, and the user-mode kernel makes its namespaces as root):
# sudo sh bench/traffic.sh
# TRAFFIC_RUNS, TRAFFIC_RTTS and TRAFFIC_RATES narrow the matrix for a
# quick try (e.g. TRAFFIC_RUNS=1 TRAFFIC_RTTS=20 TRAFFIC_RATES=10000);
# TRAFFIC_FRAMING=no leaves the framing points out, for a pondrel without
# those options. sh bench/traffic.sh --docs TSV DOC writes DOC's tables
# from TSV alone.
set -eu
cd "$(dirname "$0")/.."

# The tables of docs/performance.md from a traffic.tsv, with bench/table.sh.
docs() { # TSV DOC
	for t in run unlimited goodput delay framing held; do
		awk -F '\t' -v OFS='\t' -v t=$t '
		function pct(v, set) { return int(100 * v / set + 0.5) }
		function mbit(v) { return int(v / 1000 + 0.5) }
		# A delay in ms: one decimal below 10 ms, whole above; a loaded
		# ping faster than the idle one measured only its noise: 0.
		function msec(v) {
			if (v == "-") return v
			if (v + 0 < 0.05) return "0"
			if (v + 0 >= 9.95) return sprintf("%.0f", v)
			v = sprintf("%.1f", v)
			sub(/\.0$/, "", v)
			return v
		}
		function range(a, b, c) { return a " (" b "–" c ")" }
		function good(k, s) { return s == "-" ? range(mbit(med[k]), mbit(lo[k]), mbit(hi[k])) : \
			range(pct(med[k], s), pct(lo[k], s), pct(hi[k], s)) }
		function delay(k) { return add[k] == "-" ? "-" : range(msec(add[k]), msec(alo[k]), msec(ahi[k])) }
		NR == 1 { next }
		/^#/ { sub(/^# /, ""); meta[$1] = $2; next }
		{
			k = $1 SUBSEP $2 SUBSEP $3 SUBSEP $5 SUBSEP $16
			med[k] = $7; lo[k] = $8; hi[k] = $9; add[k] = $12; alo[k] = $13; ahi[k] = $14
			model[k] = $17; runs = $6; ping[$1, $3] = $4
			if ($16 != "-") { fr[++nfr] = k; fopt = $16; fset = $5; frtt = $3; next }
			if (!seen[$3]++) rtt[++nrtts] = $3
			if ($5 != "-" && !seen["set" $5]++) set[++nsets] = $5
		}
		END {
			split("egress ingress", dir, " "); split("plain shaped", mode, " ")
			if (t == "run") {
				print "measurement", "value"
				print "minutes", int(meta["seconds"] / 60 + 0.5)
				print "CPUs", meta["cpus"]
				print "runs per point", runs
				print "seconds counted a run", meta["secs"]
				print "seconds left out at its start", meta["omit"]
				print "load average before (1, 5, 15 min)", meta["load_before"]
				print "load average during, highest (1 min)", meta["load_during_max"]
				print "load average after (1, 5, 15 min)", meta["load_after"]
			}
			if (t == "unlimited") {
				print "direction", "round trip ms", "ping idle ms", "no limit Mbit/s", "added delay ms"
				for (d = 1; d <= 2; d++)
					for (i = 1; i <= nrtts; i++) {
						k = dir[d] SUBSEP "-" SUBSEP rtt[i] SUBSEP "-" SUBSEP "-"
						print dir[d], rtt[i], sprintf("%.1f", ping[dir[d], rtt[i]]), good(k, "-"), delay(k)
					}
			}
			if (t == "goodput" || t == "delay") {
				printf "direction\tround trip ms\tmode"
				for (j = 1; j <= nsets; j++) printf "\t%s Kbit/s", set[j]
				print ""
				for (d = 1; d <= 2; d++)
					for (i = 1; i <= nrtts; i++)
						for (m = 1; m <= 2; m++) {
							printf "%s\t%s\t%s", dir[d], rtt[i], mode[m]
							for (j = 1; j <= nsets; j++) {
								k = dir[d] SUBSEP mode[m] SUBSEP rtt[i] SUBSEP set[j] SUBSEP "-"
								printf "\t%s", t == "goodput" ? good(k, set[j]) : delay(k)
							}
							print ""
						}
			}
			if (t == "framing") {
				print "direction", "mode", "framing", "goodput %", "model %", "without it %", "added delay ms"
				for (i = 1; i <= nfr; i++) {
					k = fr[i]
					split(k, f, SUBSEP)
					bare = f[1] SUBSEP f[2] SUBSEP f[3] SUBSEP f[4] SUBSEP "-"
					print f[1], f[2], f[5], sprintf("%.1f", 100 * med[k] / fset) " (" pct(lo[k], fset) "–" pct(hi[k], fset) ")",
						sprintf("%.1f", 100 * model[k]), bare in med ? pct(med[bare], fset) : "-", delay(k)
				}
			}
			# "held": a median at 90 % of the rate or more.
			if (t == "held") {
				print "direction", "mode", "points held", "of", "medians %", "highest run %", "added delay ms, medians"
				for (d = 1; d <= 2; d++)
					for (m = 1; m <= 2; m++) {
						c = n = 0; plo = dlo = 1e9; phi = dhi = top = -1
						for (i = 1; i <= nrtts; i++)
							for (j = 1; j <= nsets; j++) {
								k = dir[d] SUBSEP mode[m] SUBSEP rtt[i] SUBSEP set[j] SUBSEP "-"
								p = pct(med[k], set[j]); n++
								c += p >= 90
								if (p < plo) plo = p
								if (p > phi) phi = p
								if (pct(hi[k], set[j]) > top) top = pct(hi[k], set[j])
								if (add[k] == "-") continue
								if (msec(add[k]) + 0 < dlo + 0) dlo = msec(add[k])
								if (msec(add[k]) + 0 > dhi + 0) dhi = msec(add[k])
							}
						print dir[d], mode[m], c, n, plo "–" phi, top, dlo "–" dhi
					}
			}
		}' "$1" | sh bench/table.sh "$2" traffic:$t
	done
}

if [ "${1:-}" = --docs ]; then
	docs "$2" "$3"
	exit
fi
# The machine's own load, before this adds its build to it.
before=$(cut -d' ' -f1-3 /proc/loadavg)
sh scripts/deps.sh gnuplot-nox
dir=build-traffic
cmake -S . -B $dir -G Ninja -DPONDREL_TESTS=ON >/dev/null
cmake --build $dir --parallel 2 --target pondrel pondrel_strerror uml_wire_check uml_race >/dev/null
mkdir -p $dir/uml

runs=${TRAFFIC_RUNS:-3} rtts=${TRAFFIC_RTTS:-0 5 20 50}
rates=${TRAFFIC_RATES:-1000 10000 50000 100000}
framing="--atm --overhead 44"
[ "${TRAFFIC_FRAMING:-yes}" = no ] && framing=
printf 'runs=%s\nrtts="%s"\nrates="%s"\nframing="%s"\n' "$runs" "$rtts" "$rates" \
	"$framing" >$dir/uml/traffic.conf

# A narrowed matrix leaves points out and a busy machine understates the
# limits, so only a full run on a quiet machine (bench/quiet.sh) rewrites
# the committed figures; quiet here also means an unlimited goodput at
# least half of what the committed docs/traffic.tsv holds for the same
# direction and round trip, which catches a machine whose CPU is taken by
# a host that its load average does not see. $narrowed and $busy hold the
# reasons against, a line each.
# shellcheck source=bench/quiet.sh
. bench/quiet.sh
narrowed=''
[ "$runs|$rtts|$rates" = "3|0 5 20 50|1000 10000 50000 100000" ] ||
	narrowed="the matrix was narrowed (TRAFFIC_RUNS, TRAFFIC_RTTS or TRAFFIC_RATES)"
if above "${before%% *}" 0; then
	busy="load average ${before%% *} before the run, above half of $cpus CPUs"
fi
if [ -n "$narrowed$busy" ]; then
	printf 'traffic: %s\n' "$narrowed" "$busy" | grep -v ': $' >&2
	echo "traffic: so the figures go to $dir/, not to docs/" >&2
fi

guest_sampled traffic "the traffic matrix" $dir/pondrel $dir/tests/uml/uml_wire_check \
	$dir/tests/uml/uml_race $dir/pondrel_strerror $dir/uml

# One row per point: the median, lowest and highest of its runs, and each
# run in the order it ran; the same for the delay that the load added to
# the idle round trip (ms; "-" for a run whose loaded pings all got lost);
# the framing options (or "-"), and the model's share of the set rate.
awk -F '\t' -v OFS='\t' -v seconds=$((end - start)) -v cpus="$cpus" \
	-v before="$before" -v after="$after" -v during="$during" '
	function sort(a, m,    i, j, t) { # a[1..m] in place, ascending
		for (i = 2; i <= m; i++)
			for (j = i; j > 1 && a[j - 1] > a[j]; j--) {
				t = a[j]; a[j] = a[j - 1]; a[j - 1] = t
			}
	}
	function median(a, m) { return m % 2 ? a[(m + 1) / 2] : (a[m / 2] + a[m / 2 + 1]) / 2 }
	# The share of the set rate that TCP can deliver when every segment is
	# full: 1448 bytes of payload (1460 of MSS less 12 of timestamps) in a
	# 1514-byte frame on the veth pair, of which the limit counts L bytes.
	# The tbf on the interface and the one on the IFB count the whole
	# frame; the policer on the ingress path counts it without its 14
	# bytes of Ethernet header. The framing options add to L what the
	# kernel adds: the overhead, at least the minimum unit, and whole
	# 53-byte cells of 48 for ATM. The framing points send one frame a
	# packet (tests/uml/traffic.sh), so each frame pays its own framing.
	function model(direction, mode, framing,    l, w, n, i, overhead, mpu, atm) {
		l = direction == "ingress" && mode == "plain" ? 1500 : 1514
		n = split(framing, w, " ")
		for (i = 1; i <= n; i++)
			if (w[i] == "--overhead") overhead = w[++i]
			else if (w[i] == "--mpu") mpu = w[++i]
			else if (w[i] == "--atm") atm = 1
		# pondrel gives the policer the header back with any framing.
		if (n && l == 1500) overhead += 14
		l += overhead
		if (l < mpu + 0) l = mpu
		if (atm) l = int((l + 47) / 48) * 53
		return sprintf("%.3f", 1448 / l)
	}
	NR == 1 { next }
	/^#/ { meta = meta $0 "\n"; next }
	{
		key = $1 OFS $2 OFS $3 OFS $4 OFS $5
		fkey = key SUBSEP $9
		if (!(fkey in n)) { order[++points] = fkey; keyof[fkey] = key; framing[fkey] = $9 }
		v[fkey, ++n[fkey]] = $7
		each[fkey] = n[fkey] == 1 ? $7 : each[fkey] "," $7
		added = $8 == "-" ? "-" : sprintf("%.1f", $8 - $4)
		eachd[fkey] = n[fkey] == 1 ? added : eachd[fkey] "," added
		if (added != "-") d[fkey, ++nd[fkey]] = added
	}
	END {
		print "direction", "mode", "rtt_ms", "ping_ms", "set_kbit", "runs",
			"median_kbit", "min_kbit", "max_kbit", "ratio", "each_kbit",
			"added_ms", "added_min_ms", "added_max_ms", "each_added_ms",
			"framing", "model_ratio"
		for (p = 1; p <= points; p++) {
			k = order[p]
			c = n[k]
			for (i = 1; i <= c; i++) g[i] = v[k, i] + 0
			sort(g, c)
			med = int(median(g, c))
			split(keyof[k], f, OFS)
			ratio = f[5] == "-" ? "-" : sprintf("%.3f", med / f[5])
			dm = dl = dh = "-"
			if (m = nd[k]) {
				for (i = 1; i <= m; i++) t[i] = d[k, i] + 0
				sort(t, m)
				dm = sprintf("%.1f", median(t, m))
				dl = sprintf("%.1f", t[1]); dh = sprintf("%.1f", t[m])
			}
			print keyof[k], c, med, g[1], g[c], ratio, each[k], dm, dl, dh, eachd[k],
				framing[k], f[5] == "-" ? "-" : model(f[1], f[2], framing[k])
		}
		printf "%s", meta
		printf "# seconds\t%s\n# cpus\t%s\n# load_before\t%s\n# load_during_max\t%s\n# load_after\t%s\n",
			seconds, cpus, before, during, after
	}' $dir/uml/traffic-runs.tsv >$dir/traffic.tsv

if [ -f docs/traffic.tsv ]; then
	busy="$busy
$(awk -F '\t' 'FNR == 1 || /^#/ { next }
	NR == FNR { if ($2 == "-") usual[$1, $3] = $7; next }
	$2 == "-" && ($1, $3) in usual && $7 < usual[$1, $3] / 2 {
		printf "unlimited %s at %s ms: %d Kbit/s, under half of the %d in docs/traffic.tsv\n",
			$1, $3, $7, usual[$1, $3]
	}' docs/traffic.tsv $dir/traffic.tsv)"
fi
busy=$(printf '%s\n' "$busy" | sed '/^$/d')

if [ -z "$narrowed$busy" ]; then
	cp $dir/traffic.tsv docs/traffic.tsv
	tsv=docs/traffic.tsv png=docs/goodput.png doc=docs/performance.md
else
	cp docs/performance.md $dir/
	tsv=$dir/traffic.tsv png=$dir/goodput.png doc=$dir/performance.md
fi
rtts=$(awk -F '\t' 'NR > 1 && !/^#/ && $16 == "-" && !seen[$3]++ { printf "%s ", $3 }' $tsv)
framed=$(awk -F '\t' 'NR > 1 && !/^#/ && $16 != "-" { print $16; exit }' $tsv)
gnuplot -e "data='$tsv'; out='$png'; rtts='$rtts'; framing='$framed'" bench/goodput.gp
docs $tsv $doc
cat $tsv
echo "traffic: $((end - start)) s, load average $before before, up to $during during" \
	"(1 minute), $after after; $tsv, $png, $doc rewritten"
why_docs_stay traffic
# A narrowed matrix was asked for; a busy machine is a failure.
[ -z "$busy" ]
