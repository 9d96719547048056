# Goodput as a share of the set rate in the upper row, and the delay that
# the load added to the round trip in the lower one, for egress and ingress
# in the plain and the shaped (--shape) mode, a column each; one line per
# round trip through the medians of its points, and each bar spans the
# lowest and the highest run of its point. The framing points (--atm
# --overhead 44 and the like) stand apart, the model's share a red level
# across each.
# Called by bench/traffic.sh with: data (traffic.tsv), out (the PNG),
# rtts (the round trips in the data, in ms, separated by blanks), framing
# (the framing points' options, empty when there are none).
set terminal pngcairo size 1800,1000 font ",11" noenhanced
set output out
set datafile separator "\t"

# A row of the matrix has no framing options ("-"); C is that column.
framed(c) = strcol(c) ne "-"
# Rows of another direction, mode or round trip, the framing points, and
# those without a limit, give no point of the matrix.
pick(d, m, r, v) = strcol(1) eq d && strcol(2) eq m && column(3) == r && strcol(5) ne "-" \
	&& !framed(16) ? v : NaN
pickf(d, m, v) = strcol(1) eq d && strcol(2) eq m && framed(16) ? v : NaN
# A loaded ping faster than the idle one measured only ping's noise.
pos(x) = x < 0 ? 0 : x
# Each round trip's points sit a little apart, so that no bar hides another;
# the framing points take the middle.
apart(i) = 1.07 ** (i - (words(rtts) + 1) / 2.0)

# One scale for every delay panel, up to the highest run.
stats data skip 1 using (strcol(5) ne "-" ? column(14) : NaN) name "delay" nooutput
dmax = delay_max > 10 ? delay_max * 1.1 : 11
# The key names the framing points only where there are some.
fm = framing eq "" ? "" : framing . ", measured"
fmodel = framing eq "" ? "" : framing . ", model"

set multiplot title "pondrel: TCP through the limit, as a share of the set rate (above) and the delay that it added under load (below)\nlines join the medians of the runs; bars span the lowest to the highest run"
set logscale x
set xrange [600:170000]
set xtics ("1" 1000, "10" 10000, "50" 50000, "100" 100000)
set grid
set xlabel "set rate (Mbit/s)"
unset key
# Four panels a row, two rows, and a strip at the bottom for the key of all.
set size 0.25, 0.44
do for [row in "goodput delay"] {
	do for [d in "egress ingress"] {
		do for [m in "plain shaped"] {
			first = d eq "egress" && m eq "plain"
			set origin 0.5 * (d eq "ingress") + 0.25 * (m eq "shaped"), (row eq "goodput" ? 0.5 : 0.06)
			set title d . ", " . (m eq "plain" ? "plain mode" : "shaped mode (--shape)")
			if (row eq "goodput") {
				set yrange [0:1.1]
				set ytics 0, 0.1, 1
				set ylabel (first ? "goodput / set rate" : "")
				plot for [i = 1:words(rtts)] data skip 1 \
					using ($5 * apart(i)):(pick(d, m, word(rtts, i) + 0, $7 / $5)):($8 / $5):($9 / $5) \
					with yerrorlines pt 7 ps 0.8 lw 2 notitle, \
				     data skip 1 using 5:(pickf(d, m, $7 / $5)):($8 / $5):($9 / $5) \
					with yerrorbars pt 9 ps 1.6 lc rgb "black" notitle, \
				     data skip 1 using 5:(pickf(d, m, $17)):($5 * 0.8):($5 * 1.25) \
					with xerrorbars pt 0 lw 2 lc rgb "red" notitle, \
				     1 with lines dt 2 lc rgb "gray40" notitle, \
				     0.9 with lines dt 3 lc rgb "gray60" notitle
			} else {
				set yrange [0:dmax]
				set ytics autofreq
				set ylabel (first ? "added delay (ms)" : "")
				plot for [i = 1:words(rtts)] data skip 1 \
					using ($5 * apart(i)):(pick(d, m, word(rtts, i) + 0, pos($12))):(pos($13)):(pos($14)) \
					with yerrorlines pt 7 ps 0.8 lw 2 notitle, \
				     data skip 1 using 5:(pickf(d, m, pos($12))):(pos($13)):(pos($14)) \
					with yerrorbars pt 9 ps 1.6 lc rgb "black" notitle
			}
		}
	}
}

# The key: the same styles, drawn on nothing.
set origin 0, 0
set size 1, 0.06
unset border
unset tics
unset grid
unset title
unset xlabel
unset ylabel
unset logscale x
set xrange [0:1]
set yrange [0:1]
set key center center horizontal maxrows 1 width 1 box
set samples 2
plot for [i = 1:words(rtts)] '+' using (NaN):(NaN):(NaN):(NaN) \
	with yerrorlines pt 7 ps 0.8 lw 2 title "round trip " . word(rtts, i) . " ms", \
     '+' using (NaN):(NaN):(NaN):(NaN) with yerrorbars pt 9 ps 1.6 lc rgb "black" title fm, \
     '+' using (NaN):(NaN):(NaN):(NaN) with xerrorbars pt 0 lw 2 lc rgb "red" \
	title fmodel, \
     NaN with lines dt 2 lc rgb "gray40" title "set rate", \
     NaN with lines dt 3 lc rgb "gray60" title "90 % of it"
unset multiplot
