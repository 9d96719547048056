# Goodput as a share of the set rate, egress above and ingress below, the
# plain mode on the left and the shaped one (--shape) on the right; one
# line per round trip through the medians of its points, and each bar
# spans the lowest and the highest run of its point.
# Called by bench/traffic.sh with: data (docs/traffic.tsv), out (the PNG),
# rtts (the round trips in the data, in ms, separated by blanks).
set terminal pngcairo size 1200,900 font ",11" noenhanced
set output out
set datafile separator "\t"
set multiplot layout 2,2 title "pondrel: TCP goodput through the limit, as a share of the set rate\nlines join the medians of the runs; bars span the lowest to the highest run"
set logscale x
set xrange [600:170000]
set yrange [0:1.3]
set xtics ("1000" 1000, "10000" 10000, "50000" 50000, "100000" 100000)
set ytics 0, 0.1, 1
set grid
# The key sits above the set rate, where no point can be.
set key top left horizontal maxrows 2 title "round trip" box opaque
set xlabel "set rate (Kbit/s)"
set ylabel "goodput / set rate"

# Rows of another direction, mode or round trip, and those without a
# limit, give no point.
pick(d, m, r, v) = strcol(1) eq d && strcol(2) eq m && column(3) == r && strcol(5) ne "-" ? v : NaN
# Each round trip's points sit a little apart, so that no bar hides another.
apart(i) = 1.07 ** (i - (words(rtts) + 1) / 2.0)

do for [d in "egress ingress"] {
	do for [m in "plain shaped"] {
		set title d . ", " . m . " mode" . (m eq "plain" ? ": " : " (--shape): ") . (m eq "plain" ? \
			(d eq "egress" ? "tbf, 2048-byte bucket" : "police, 10 KiB bucket, no queue") : \
			(d eq "egress" ? "tbf, bucket of 1 ms at the rate" : "IFB and tbf, bucket of 1 ms at the rate"))
		plot for [i = 1:words(rtts)] data skip 1 \
			using ($5 * apart(i)):(pick(d, m, word(rtts, i) + 0, $7 / $5)):($8 / $5):($9 / $5) \
			with yerrorlines pt 7 ps 0.8 lw 2 title word(rtts, i) . " ms", \
		     1 with lines dt 2 lc rgb "gray40" title "set rate", \
		     0.9 with lines dt 3 lc rgb "gray60" title "90 %"
	}
}
unset multiplot
