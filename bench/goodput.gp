# Goodput as a share of the set rate, egress above and ingress below, one
# line per round trip through the medians of its points; each bar spans
# the lowest and the highest run of its point.
# Called by bench/traffic.sh with: data (docs/traffic.tsv), out (the PNG),
# rtts (the round trips in the data, in ms, separated by blanks).
set terminal pngcairo size 860,900 font ",11" noenhanced
set output out
set datafile separator "\t"
set multiplot layout 2,1 title "pondrel: TCP goodput through the limit, as a share of the set rate\nlines join the medians of the runs; bars span the lowest to the highest run"
set logscale x
set xrange [600:170000]
set yrange [0:1.1]
set xtics ("1000" 1000, "10000" 10000, "50000" 50000, "100000" 100000)
set grid
set key outside right top title "round trip" box
set xlabel "set rate (Kbit/s)"
set ylabel "goodput / set rate"

# Rows of another direction or round trip, and those without a limit, give
# no point.
pick(d, r, v) = strcol(1) eq d && column(2) == r && strcol(4) ne "-" ? v : NaN
# Each round trip's points sit a little apart, so that no bar hides another.
apart(i) = 1.07 ** (i - (words(rtts) + 1) / 2.0)

do for [d in "egress ingress"] {
	set title d . (d eq "egress" ? " (tbf shaping)" : " (police, no queue)")
	plot for [i = 1:words(rtts)] data skip 1 \
		using ($4 * apart(i)):(pick(d, word(rtts, i) + 0, $6 / $4)):($7 / $4):($8 / $4) \
		with yerrorlines pt 7 ps 0.8 lw 2 title word(rtts, i) . " ms", \
	     1 with lines dt 2 lc rgb "gray40" title "set rate"
}
unset multiplot
