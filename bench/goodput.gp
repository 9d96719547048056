# Set rate against achieved goodput, one line per direction, and below it
# the same as a share of the set rate, where small differences show.
# Called by bench/run.sh with: data (the traffic table), out (the PNG).
set terminal pngcairo size 800,860 font ",11" noenhanced
set output out
set datafile separator "\t"
set multiplot layout 2,1 title "pondrel: achieved TCP goodput against the set rate"
set logscale x
set grid
set rmargin 5
set key top left
set xlabel "set rate (Kbit/s)"
egress(v) = strcol(1) eq "egress" ? v : NaN
ingress(v) = strcol(1) eq "ingress" ? v : NaN

# Rows with "-" (no limit) are no points on these plots.
set logscale y
set ylabel "goodput (Kbit/s)"
plot data using 2:(egress($3)) skip 1 with linespoints pt 7 lw 2 \
	title "egress (tbf shaping)", \
     data using 2:(ingress($3)) skip 1 with linespoints pt 5 lw 2 \
	title "ingress (police)", \
     x with lines dt 2 lc rgb "gray40" title "goodput = set rate"

unset logscale y
set ylabel "goodput / set rate"
set yrange [0:1.1]
set key below horizontal
plot data using 2:(egress($4)) skip 1 with linespoints pt 7 lw 2 \
	title "egress", \
     data using 2:(ingress($4)) skip 1 with linespoints pt 5 lw 2 \
	title "ingress", \
     1 with lines dt 2 lc rgb "gray40" title "set rate"
unset multiplot
