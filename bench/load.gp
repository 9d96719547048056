# The sweep of bench/load.sh: rrul_be's goodput in each direction as a
# share of the rate set both ways (left), and the ping's 99th percentile
# above the idle round trip (right), for -s, --cake and cake by hand.
# Called with: data (the sweep's rows of load-rrul.tsv, by rate), out (the
# PNG).
set terminal pngcairo size 1500,600 font ",11" noenhanced
set output out
set datafile separator "\t"
# One mode's rows alone, so that its line joins them all.
rows(m) = sprintf("< awk -F '\t' '$2 == \"%s\"' '%s'", m, data)
set multiplot layout 1,2 title "pondrel under flent rrul_be (4 TCP flows each way, 20 ms round trip) in the user-mode kernel"
set logscale x
set xrange [7000:1400000]
set xtics ("10" 10000, "20" 20000, "50" 50000, "100" 100000, "200" 200000, "500" 500000, "1000" 1000000)
set grid
set xlabel "rate set each way (Mbit/s)"
set key bottom left
set ylabel "goodput, % of the rate"
set yrange [0:105]
# A colour per mode; the upload dashed.
modes = "shaped cake hand"
plot for [i = 1:3] rows(word(modes, i)) using 3:(100 * $6 / $3) with linespoints lc i title word(modes, i) . ", down", \
	for [i = 1:3] rows(word(modes, i)) using 3:(100 * $7 / $4) with linespoints lc i dashtype 2 title word(modes, i) . ", up", \
	90 with lines lc "black" dashtype 3 title "90 %"
set ylabel "ping p99 above idle (ms)"
set logscale y
set yrange [0.1:*]
set key top left
plot for [i = 1:3] rows(word(modes, i)) using 3:($10 < 0 ? NaN : ($10 - $8) < 0.1 ? 0.1 : $10 - $8) with linespoints lc i title word(modes, i)
unset multiplot
