# The controller's bench of bench/autorate.sh over time: a row per
# configuration; the capacity, the rate set on ar0 and the goodput (at the
# middle of its second) down (left) and up (middle), and each ping's round
# trip (right, unanswered ones at 5000 ms).
# Called with: dir (autorate-series.tsv and autorate-ping.tsv), out (the
# PNG), configs (the configurations, separated by blanks).
set terminal pngcairo size 1800, 330 * words(configs) + 60 font ",10" noenhanced
set output out
set datafile separator "\t"
rows(f, c) = sprintf("< awk -F '\t' '$1 == \"%s\"' '%s/%s'", c, dir, f)
name(c) = c eq "none" ? "no limit" : c eq "max" ? "--cake 40000 40000" : \
	c eq "min" ? "--cake 5000 5000" : "--cake 5000-40000 5000-40000 (controller)"
set multiplot layout words(configs), 3 title "pondrel: a trace of the link's capacity under iperf3 both ways, 2 flows each, in the user-mode kernel"
set grid
set key top right font ",8"
do for [i = 1:words(configs)] {
	c = word(configs, i)
	set xlabel (i == words(configs) ? "s" : "")
	unset logscale y
	set yrange [0:45]
	set ylabel "Mbit/s"
	set title name(c) . ", down"
	plot rows("autorate-series.tsv", c) using 2:($3 / 1000) with steps lw 2 lc "gray40" title "capacity", \
		'' using 2:($5 / 1000) with steps lc "red" title "rate set", \
		'' using ($2 + 0.5):($7 / 1000) with lines lc "blue" title "goodput"
	set title name(c) . ", up"
	plot rows("autorate-series.tsv", c) using 2:($4 / 1000) with steps lw 2 lc "gray40" title "capacity", \
		'' using 2:($6 / 1000) with steps lc "red" title "rate set", \
		'' using ($2 + 0.5):($8 / 1000) with lines lc "blue" title "goodput"
	set title name(c) . ", ping"
	set logscale y
	set yrange [0.1:10000]
	set ylabel "round trip, ms"
	plot rows("autorate-ping.tsv", c) using 2:3 with points pt 7 ps 0.3 lc "black" notitle
}
unset multiplot
