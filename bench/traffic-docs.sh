#!/bin/sh
# Writes the traffic figures of docs/traffic.tsv into the documents that
# quote them, so that no figure is ever copied by hand. Each FILE holds
# marked regions, "<!-- traffic:NAME:begin ... -->" to "<!-- traffic:NAME:end -->"
# in Markdown and '.\" traffic:NAME:begin ...' to '.\" traffic:NAME:end' in
# the manual page; everything between the marks is replaced, nothing else.
# What it writes states figures only: what to make of them is the business
# of the text around the marks, written by hand. Needs only awk.
# Usage: traffic-docs.sh TSV FILE...
set -eu
if [ $# -lt 2 ]; then
	echo "usage: traffic-docs.sh TSV FILE..." >&2
	exit 2
fi
tsv=$1
shift
new=$(mktemp)
trap 'rm -f "$new"' EXIT
for file; do
	awk -F '\t' -v file="$file" '
	function pct(v, set) { return int(100 * v / set + 0.5) }
	function pct1(v, set) { return sprintf("%.1f", 100 * v / set) }
	function mbit(v) { return int(v / 1000 + 0.5) }
	function ms(r) { return r == 0 ? "0 ms" : r " ms" }
	# "a", "a and b", "a, b and c" from a list joined by SUBSEP
	function words(list,    w, n, i, s) {
		n = split(list, w, SUBSEP)
		for (i = 1; i <= n; i++)
			s = s (i == 1 ? "" : i == n ? " and " : ", ") w[i]
		return s
	}
	function add(list, item) { return list == "" ? item : list SUBSEP item }
	# TEXT filled to 74 columns, the first line after FIRST, the rest after
	# as many blanks
	function fill(first, text,    w, n, i, line, pad) {
		gsub(/ %/, "\001%", text) # a figure and its % stay on one line
		n = split(text, w, " ")
		line = first
		pad = sprintf("%" length(first) "s", "")
		for (i = 1; i <= n; i++) {
			if (line != first && line != pad && length(line) + 1 + length(w[i]) > 74) {
				gsub(/\001/, " ", line)
				print line
				line = pad
			}
			line = line (line == first || line == pad ? "" : " ") w[i]
		}
		gsub(/\001/, " ", line)
		print line
	}
	# held: the median of the runs of a point within 10 % of its rate, as
	# the documents show it (rounded)
	function held(d, m, r, s) { return pct(med[d, m, r, s], s) >= 90 }
	function below(d, m, r, s) { return med[d, m, r, s] < 0.5 * s }
	# Whether the point of direction D at round trip R and rate S is of
	# KIND: held by "shaped" alone, by "plain" alone, by "both" modes, by
	# the shaped mode ("shaped+") or the plain one ("plain+"), "not" held
	# by the shaped mode, "plain-" not by the plain one; or "better": a
	# higher median in the shaped mode than in the plain one.
	function of(kind, d, r, s,    p, h) {
		p = held(d, "plain", r, s); h = held(d, "shaped", r, s)
		if (kind == "shaped") return h && !p
		if (kind == "plain") return p && !h
		if (kind == "both") return p && h
		if (kind == "not") return !h
		if (kind == "plain-") return !p
		if (kind == "shaped+") return h
		if (kind == "plain+") return p
		return med[d, "shaped", r, s] > med[d, "plain", r, s] # "better"
	}
	# The points of direction D of KIND, by rate: "1000 Kbit/s at 20 and
	# 50 ms of round trip; 10000 Kbit/s at every round trip".
	function where(d, kind,    i, j, out, rs, seen) {
		for (j = 1; j <= nsets; j++) {
			rs = ""
			for (i = 1; i <= nrtts; i++)
				if (of(kind, d, rtt[i], set[j])) rs = add(rs, rtt[i])
			if (rs == "") continue
			rs = split(rs, seen, SUBSEP) == nrtts ? "every round trip" : \
				words(rs) " ms of round trip"
			out = out (out == "" ? "" : "; ") set[j] " Kbit/s at " rs
		}
		return out
	}
	function count(d, kind,    i, j, c) {
		for (i = 1; i <= nrtts; i++)
			for (j = 1; j <= nsets; j++)
				c += of(kind, d, rtt[i], set[j])
		return c + 0
	}
	function range(a, b, unit) { return a == b ? a unit : a " to " b unit }
	# The lowest and highest median of direction D in mode M, in % of the
	# rate.
	function span(d, m,    i, j, p, a, b) {
		a = 1e9; b = -1e9
		for (i = 1; i <= nrtts; i++)
			for (j = 1; j <= nsets; j++) {
				p = pct(med[d, m, rtt[i], set[j]], set[j])
				if (p < a) a = p
				if (p > b) b = p
			}
		return range(a, b, " %")
	}
	# The same for the delay added under load, in ms, over the points of
	# KIND ("" for all of them).
	function dspan(d, m, kind,    i, j, p, a, b) {
		a = 1e9; b = -1e9
		for (i = 1; i <= nrtts; i++)
			for (j = 1; j <= nsets; j++) {
				if (kind != "" && !of(kind, d, rtt[i], set[j])) continue
				if (add_ms[d, m, rtt[i], set[j]] == "-") continue
				p = msec(add_ms[d, m, rtt[i], set[j]])
				if (p + 0 < a + 0) a = p
				if (p + 0 > b + 0) b = p
			}
		return b == -1e9 ? "no figure" : range(a, b, " ms")
	}
	# A delay added under load, in ms, as the documents show it: one
	# decimal below 10 ms, whole ms above; a loaded ping that came back
	# faster than the idle one measured only ping'"'"'s noise, so shows as 0.
	function msec(v) {
		if (v == "-") return v
		if (v + 0 < 0.05) return "0"
		if (v + 0 >= 9.95) return sprintf("%.0f", v)
		v = sprintf("%.1f", v)
		sub(/\.0$/, "", v)
		return v
	}
	# The highest run of mode M in either direction, in % of the rate.
	function most(m,    d, i, j, x) {
		for (d = 1; d <= 2; d++)
			for (i = 1; i <= nrtts; i++)
				for (j = 1; j <= nsets; j++)
					if (hi[dir[d], m, rtt[i], set[j]] / set[j] > x)
						x = hi[dir[d], m, rtt[i], set[j]] / set[j]
		return int(100 * x + 0.5)
	}
	function cell(d, m, r, s) {
		if (s == "-")
			return mbit(med[d, m, r, s]) " (" mbit(lo[d, m, r, s]) "–" mbit(hi[d, m, r, s]) ")"
		return pct(med[d, m, r, s], s) " (" pct(lo[d, m, r, s], s) "–" pct(hi[d, m, r, s], s) ")"
	}
	function dcell(d, m, r, s) {
		if (add_ms[d, m, r, s] == "-") return "-"
		return msec(add_ms[d, m, r, s]) " (" msec(add_lo[d, m, r, s]) "–" msec(add_hi[d, m, r, s]) ")"
	}
	function loadavg(l) { gsub(/ /, ", ", l); return l }
	# A Markdown table of WHAT ("goodput" or "delay") by direction, round
	# trip and mode.
	function table(what,    i, j, d, k, m, hdr, rule, line) {
		hdr = "| direction | round trip | mode |"
		rule = "|---|---|---|"
		for (j = 1; j <= nsets; j++) {
			hdr = hdr " " set[j] " Kbit/s |"
			rule = rule "---:|"
		}
		print hdr
		print rule
		for (d = 1; d <= 2; d++)
			for (i = 1; i <= nrtts; i++)
				for (k = 1; k <= 2; k++) {
					m = mode[k]
					line = "| " dir[d] " | " ms(rtt[i]) " | " m " |"
					for (j = 1; j <= nsets; j++)
						line = line " " (what == "goodput" ? cell(dir[d], m, rtt[i], set[j]) : \
							dcell(dir[d], m, rtt[i], set[j])) " |"
					print line
				}
	}
	function figures(    i, d) {
		fill("", "The full matrix took " int(meta["seconds"] / 60 + 0.5) \
			" minutes in this measurement, on " meta["cpus"] " CPUs shared" \
			" with other work: the load average over 1, 5 and 15 minutes was " \
			loadavg(meta["load_before"]) " before it and " \
			loadavg(meta["load_after"]) " after it" \
			("load_during_max" in meta ? ", and over 1 minute at most " \
				meta["load_during_max"] " while it ran" : "") \
			", of which about 1 is the" \
			" user-mode kernel itself. Each point is " runs " runs of " \
			meta["secs"] " s after the first " meta["omit"] " s of the" \
			" connection was left out. The runs went round by round over all" \
			" points, so that changes in the machine'"'"'s load fell on all of" \
			" them alike.")
		print ""
		fill("", "Without a limit, in Mbit/s (the median of the runs, and in" \
			" brackets the lowest and the highest run), with the idle round" \
			" trip that ping measured and the delay that the load added to it" \
			" (ms, median and range):")
		print ""
		print "| direction | round trip | ping, idle | no limit, Mbit/s | added delay, ms |"
		print "|---|---|---:|---:|---:|"
		for (d = 1; d <= 2; d++)
			for (i = 1; i <= nrtts; i++)
				print "| " dir[d] " | " ms(rtt[i]) " | " ping[dir[d], rtt[i]] " | " \
					cell(dir[d], "-", rtt[i], "-") " | " dcell(dir[d], "-", rtt[i], "-") " |"
		print ""
		fill("", "Goodput in % of the set rate, in the plain mode and in the" \
			" shaped one (`--shape`): the median of the runs, and in brackets" \
			" the lowest and the highest run.")
		print ""
		table("goodput")
		print ""
		fill("", "The delay that the limit added under load: the round trip that" \
			" ping measured through the limit while iperf3 ran, less the idle" \
			" one, in ms (median, lowest and highest run; 0 where it came back" \
			" faster than the idle one, \"-\" where every ping under load was" \
			" lost).")
		print ""
		table("delay")
		print ""
		framed_table()
	}
	# The framing points beside the model and beside the same point
	# without the options, as a Markdown table.
	function framed_table(    i, k, line) {
		if (!nfr) {
			fill("", "This measurement has no points with the link'"'"'s framing.")
			return
		}
		fill("", "With the link'"'"'s framing, `" fr_opt "`, at " fr_set \
			" Kbit/s and " ms(fr_rtt) " of round trip: the median goodput in %" \
			" of the set rate (and in brackets the lowest and the highest run)," \
			" the share of the set rate that the model gives (`model_ratio`)," \
			" the median of the same point without the options, and the delay" \
			" added under load (ms, median and range).")
		print ""
		print "| direction | mode | goodput, % | model, % | without the options, % | added delay, ms |"
		print "|---|---|---:|---:|---:|---:|"
		for (i = 1; i <= nfr; i++) {
			k = fr[i]
			line = "| " fr_dir[i] " | " fr_mode[i] " | " pct1(med[k], fr_set) \
				" (" pct(lo[k], fr_set) "–" pct(hi[k], fr_set) ") | " \
				sprintf("%.1f", 100 * model[k]) " | "
			k = fr_dir[i] SUBSEP fr_mode[i] SUBSEP fr_rtt SUBSEP fr_set
			line = line (k in med ? pct(med[k], fr_set) : "-") " | " \
				dcell(fr_dir[i], fr_mode[i] SUBSEP fr_opt, fr_rtt, fr_set) " |"
			print line
		}
	}
	# The framing points in a sentence: "81.3, 82.0, 12.1 and 80.9 % of the
	# set rate (egress plain, egress shaped, ...), against a model of ..."
	function framed_words(    i, a, b, c) {
		for (i = 1; i <= nfr; i++) {
			a = add(a, pct1(med[fr[i]], fr_set) (i == nfr ? " %" : ""))
			b = add(b, fr_dir[i] " " fr_mode[i])
			c = add(c, sprintf("%.1f", 100 * model[fr[i]]) (i == nfr ? " %" : ""))
		}
		return "With `" fr_opt "` at " fr_set " Kbit/s and " ms(fr_rtt) \
			" of round trip, the median goodput was " words(a) " of the set rate (" \
			words(b) "), against a model of " words(c) "."
	}
	function advice(    d, k, m, c, n, line) {
		n = nrtts * nsets
		fill("", "Read from the tables above (\"held\": the median at 90 % of the" \
			" rate or more). No run went above " most("plain") " % of its rate" \
			" in the plain mode, nor above " most("shaped") " % in the shaped" \
			" one.")
		print ""
		for (d = 1; d <= 2; d++)
			for (k = 1; k <= 2; k++) {
				m = mode[k]
				c = count(dir[d], m "+")
				line = "**" toupper(substr(dir[d], 1, 1)) substr(dir[d], 2) \
					", " m " mode** held at " (c == n ? "every point" : c == 0 ? "no point" : \
					c " of " n " points: " (2 * c <= n ? "only at " where(dir[d], m "+") : \
					"all but " where(dir[d], m == "shaped" ? "not" : "plain-")))
				line = line ". Its medians were " span(dir[d], m) " of the rate, and" \
					" the load added " dspan(dir[d], m, "") " to the round trip" \
					" (medians)."
				fill("- ", line)
			}
	}
	# How the two modes of direction D compare, point by point: where the
	# shaped mode came closer to the rate, where only one mode held, and
	# the delays that each added.
	function compare(d,    s, p, b, n, line) {
		s = where(d, "shaped"); p = where(d, "plain"); b = where(d, "both")
		n = nrtts * nsets
		line = "For " d ", the shaped mode had the higher median goodput at " \
			count(d, "better") " of " n " points"
		if (s != "") line = line ", and only it held at " s
		if (p != "") line = line "; only the plain mode held at " p
		line = line ". The load added " dspan(d, "shaped", "") " in the shaped" \
			" mode and " dspan(d, "plain", "") " in the plain one (medians)."
		if (b != "")
			line = line " Where both held (" b "), the plain mode added " \
				dspan(d, "plain", "both") " and the shaped one " \
				dspan(d, "shaped", "both") "."
		return line
	}
	function summary() {
		fill("", "Under TCP, in the plain mode the egress limit'"'"'s goodput was " \
			span("egress", "plain") " of the set rate and the ingress" \
			" limit'"'"'s " span("ingress", "plain") "; in the shaped mode" \
			" (`--shape`) egress reached " span("egress", "shaped") " and" \
			" ingress " span("ingress", "shaped") " (medians over every rate and" \
			" round trip measured). The load added " dspan("egress", "plain", "") \
			" to the round trip on egress and " dspan("ingress", "plain", "") \
			" on ingress in the plain mode, and " dspan("egress", "shaped", "") \
			" and " dspan("ingress", "shaped", "") " in the shaped one (medians)." \
			" The shaped mode had the higher median goodput at " \
			count("ingress", "better") " of " nrtts * nsets " points on ingress" \
			" and " count("egress", "better") " on egress." \
			(nfr ? " " framed_words() : ""))
	}
	# A table of the manual page: WHAT ("goodput" in % or "delay" in ms)
	# by direction, mode and round trip.
	function mantable(what,    i, j, d, k, line, v) {
		line = ".Bl -column \"direction\" \"shaped\" \"round trip\""
		for (j = 1; j <= nsets; j++) line = line " \"" set[j] "\""
		print line " -offset indent"
		line = ".It Em direction Ta Em mode Ta Em round trip"
		for (j = 1; j <= nsets; j++) line = line " Ta Em " set[j]
		print line
		for (d = 1; d <= 2; d++)
			for (k = 1; k <= 2; k++)
				for (i = 1; i <= nrtts; i++) {
					line = ".It " dir[d] " Ta " mode[k] " Ta " ms(rtt[i])
					for (j = 1; j <= nsets; j++) {
						v = what == "goodput" ? pct(med[dir[d], mode[k], rtt[i], set[j]], set[j]) : \
							msec(add_ms[dir[d], mode[k], rtt[i], set[j]])
						line = line " Ta " v
					}
					print line
				}
		print ".El"
	}
	# Command-line options as the manual page marks them up:
	# ".Fl -atm Fl -overhead Ar 44"
	function flags(opts,    w, n, i, out) {
		n = split(opts, w, " ")
		for (i = 1; i <= n; i++)
			out = out (i > 1 ? " " : ".") (w[i] ~ /^-/ ? "Fl " substr(w[i], 2) : "Ar " w[i])
		return out
	}
	function caveats(    line, n, i, sentence) {
		print ".Pp"
		print "TCP transfers with"
		print ".Xr iperf3 1"
		print "between two network namespaces under a user-mode Linux kernel, with"
		print "the round trip lengthened by netem, reached these goodputs in percent"
		print "of the set rate, each the median of " runs " runs, at the set rates in"
		print "Kbit/s that head the columns, in the plain mode and with"
		print ".Fl -shape :"
		mantable("goodput")
		print ".Pp"
		print "While they ran, ping through the limit took this many milliseconds"
		print "longer than on the idle path (medians; 0 where it came back faster):"
		mantable("delay")
		if (nfr) {
			print ".Pp"
			print "With"
			print flags(fr_opt)
			print "as well, at " fr_set " Kbit/s and " ms(fr_rtt) " of round trip,"
			print "the median goodput and the model'"'"'s share, in percent of the set rate:"
			print ".Bl -column \"direction\" \"shaped\" \"measured\" \"model\" -offset indent"
			print ".It Em direction Ta Em mode Ta Em measured Ta Em model"
			for (i = 1; i <= nfr; i++)
				print ".It " fr_dir[i] " Ta " fr_mode[i] " Ta " pct1(med[fr[i]], fr_set) \
					" Ta " sprintf("%.1f", 100 * model[fr[i]])
			print ".El"
		}
		print ".Pp"
		line = "A limit held where its median goodput came within 10 % of its rate. " \
			compare("ingress") " " compare("egress")
		gsub(/ %/, "%", line)
		gsub(/`/, "", line)
		gsub(/--/, "\\-\\-", line)
		# The source of the manual page takes each sentence on a line.
		n = split(line, sentence, /\. /)
		for (i = 1; i <= n; i++)
			fill("", sentence[i] (i < n ? "." : ""))
	}
	function region(name) {
		if (name == "figures") figures()
		else if (name == "advice") advice()
		else if (name == "summary") summary()
		else if (name == "caveats") caveats()
		else {
			print file ": unknown traffic region " name > "/dev/stderr"
			bad = 1
		}
	}
	FNR == NR {
		if (FNR == 1) {
			# The layout of bench/traffic.sh, before and since the framing
			# points: those without carry no framing and no model.
			head = "direction\tmode\trtt_ms\tping_ms\tset_kbit\truns\tmedian_kbit\tmin_kbit\tmax_kbit\tratio\teach_kbit\tadded_ms\tadded_min_ms\tadded_max_ms\teach_added_ms"
			if ($0 != head && $0 != head "\tframing\tmodel_ratio") {
				print FILENAME ": not a table of bench/traffic.sh" > "/dev/stderr"
				exit 1
			}
			next
		}
		if ($0 ~ /^# /) { meta[substr($1, 3)] = $2; next }
		framing = NF >= 17 ? $16 : "-"
		# The framing points stand apart from the matrix, each known by its
		# mode and options together.
		m = framing == "-" ? $2 : $2 SUBSEP framing
		k = $1 SUBSEP m SUBSEP $3 SUBSEP $5
		med[k] = $7; lo[k] = $8; hi[k] = $9
		add_ms[k] = $12; add_lo[k] = $13; add_hi[k] = $14
		model[k] = NF >= 17 ? $17 : "-"
		if (framing != "-") {
			if (nfr && (framing != fr_opt || $3 != fr_rtt || $5 != fr_set)) {
				print FILENAME ": framing points differ in options, round trip or rate" > "/dev/stderr"
				exit 1
			}
			fr[++nfr] = k; fr_dir[nfr] = $1; fr_mode[nfr] = $2
			fr_opt = framing; fr_rtt = $3; fr_set = $5
			next
		}
		if (!seen_rtt[$3]++) rtt[++nrtts] = $3
		if ($5 != "-" && !seen_set[$5]++) set[++nsets] = $5
		if (!seen_dir[$1]++) dir[++ndirs] = $1
		if ($2 != "-" && !seen_mode[$2]++) mode[++nmodes] = $2
		ping[$1, $3] = sprintf("%.1f", $4)
		runs = $6
		next
	}
	FNR == 1 && (ndirs != 2 || dir[1] != "egress" || dir[2] != "ingress" ||
		nmodes != 2 || mode[1] != "plain" || mode[2] != "shaped") {
		print FILENAME ": want egress and ingress rows, each plain then shaped" > "/dev/stderr"
		exit 1
	}
	skip && ($0 == "<!-- traffic:" skip ":end -->" || $0 == ".\\\" traffic:" skip ":end") {
		skip = ""; regions++
	}
	skip { next }
	{ print }
	match($0, /^(<!-- |\.\\" )traffic:[a-z]+:begin/) {
		skip = $0
		sub(/^(<!-- |\.\\" )traffic:/, "", skip)
		sub(/:begin.*/, "", skip)
		region(skip)
	}
	END {
		if (skip != "") {
			print file ": traffic region " skip " has no end mark" > "/dev/stderr"
			exit 1
		}
		if (!regions) {
			print file ": no traffic region" > "/dev/stderr"
			exit 1
		}
		exit bad
	}' "$tsv" "$file" >"$new"
	cat "$new" >"$file"
done
