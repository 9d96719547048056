#!/bin/sh
# Writes the traffic figures of docs/traffic.tsv into the documents that
# quote them, so that no figure is ever copied by hand. Each FILE holds
# marked regions, "<!-- traffic:NAME:begin ... -->" to "<!-- traffic:NAME:end -->"
# in Markdown and '.\" traffic:NAME:begin ...' to '.\" traffic:NAME:end' in
# the manual page; everything between the marks is replaced, nothing else.
# Needs only awk. Usage: traffic-docs.sh TSV FILE...
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
	function held(d, r, s) { return pct(med[d, r, s], s) >= 90 }
	function below(d, r, s) { return med[d, r, s] < 0.5 * s }
	# The points of direction D that held (want 1) or not (0), by
	# rate: "1000 Kbit/s at 20 and 50 ms; 10000 Kbit/s at 5 ms".
	function where(d, want,    i, j, out, rs, seen) {
		for (j = 1; j <= nsets; j++) {
			rs = ""
			for (i = 1; i <= nrtts; i++)
				if (held(d, rtt[i], set[j]) == want) rs = add(rs, rtt[i])
			if (rs == "") continue
			rs = split(rs, seen, SUBSEP) == nrtts ? "every round trip" : \
				words(rs) " ms of round trip"
			out = out (out == "" ? "" : "; ") set[j] " Kbit/s at " rs
		}
		return out
	}
	# The lowest and highest median of direction D, in % of the rate.
	function span(d,    i, j, p, a, b) {
		a = 1e9; b = -1
		for (i = 1; i <= nrtts; i++)
			for (j = 1; j <= nsets; j++) {
				p = pct(med[d, rtt[i], set[j]], set[j])
				if (p < a) a = p
				if (p > b) b = p
			}
		return a == b ? a " %" : a " to " b " %"
	}
	function cell(d, r, s) {
		if (s == "-")
			return mbit(med[d, r, s]) " (" mbit(lo[d, r, s]) "–" mbit(hi[d, r, s]) ")"
		return pct(med[d, r, s], s) " (" pct(lo[d, r, s], s) "–" pct(hi[d, r, s], s) ")"
	}
	function loadavg(l) { gsub(/ /, ", ", l); return l }
	function figures(    i, j, d, hdr, rule) {
		fill("", "The full matrix took " int(meta["seconds"] / 60 + 0.5) \
			" minutes in this measurement, on " meta["cpus"] " CPUs shared" \
			" with other work: the load average over 1, 5 and 15 minutes was " \
			loadavg(meta["load_before"]) " before it and " \
			loadavg(meta["load_after"]) " after it, of which about 1 is the" \
			" user-mode kernel itself. Each point is " runs " runs of " \
			meta["secs"] " s after the first " meta["omit"] " s of the" \
			" connection was left out. The runs went round by round over all" \
			" points, so that changes in the machine'"'"'s load fell on all of" \
			" them alike.")
		print ""
		fill("", "Goodput in % of the set rate: the median of the runs, and in" \
			" brackets the lowest and the highest run; without a limit, in" \
			" Mbit/s. Beside each round trip, in brackets, what ping measured" \
			" of it (ms, idle).")
		print ""
		hdr = "| direction | round trip | no limit, Mbit/s |"
		rule = "|---|---|---:|"
		for (j = 1; j <= nsets; j++) {
			hdr = hdr " " set[j] " Kbit/s |"
			rule = rule "---:|"
		}
		print hdr
		print rule
		for (d = 1; d <= 2; d++)
			for (i = 1; i <= nrtts; i++) {
				printf "| %s | %s (%s) | %s |", dir[d], ms(rtt[i]),
					ping[dir[d], rtt[i]], cell(dir[d], rtt[i], "-")
				for (j = 1; j <= nsets; j++)
					printf " %s |", cell(dir[d], rtt[i], set[j])
				printf "\n"
			}
	}
	function advice(    i, j, r, c, b, m, most, line) {
		most = 0
		for (i = 1; i <= nrtts; i++)
			for (j = 1; j <= nsets; j++)
				if (hi[dir[1], rtt[i], set[j]] / set[j] > most)
					most = hi[dir[1], rtt[i], set[j]] / set[j]
		for (i = 1; i <= nrtts; i++)
			for (j = 1; j <= nsets; j++)
				if (hi[dir[2], rtt[i], set[j]] / set[j] > most)
					most = hi[dir[2], rtt[i], set[j]] / set[j]
		fill("", "Read from the table above (\"held\": the median at 90 % of the" \
			" rate or more; \"below half\": the median under 50 % of it). No" \
			" run in either direction went above " int(100 * most + 0.5) \
			" % of its rate.")
		print ""
		c = where("egress", 0)
		fill("- ", "**Egress** held " (c == "" ? "at every rate and round trip" : \
			"at every point except " c) ". Its medians were " span("egress") \
			" of the rate.")
		print "- **Ingress**, by round trip:"
		for (i = 1; i <= nrtts; i++) {
			r = rtt[i]; c = ""; b = ""; m = ""
			for (j = 1; j <= nsets; j++) {
				if (held("ingress", r, set[j])) c = add(c, set[j])
				else if (below("ingress", r, set[j])) b = add(b, set[j])
				else m = add(m, set[j])
			}
			line = ms(r) ": held at " (c == "" ? "no rate" : words(c) " Kbit/s")
			if (m != "") line = line "; between half and 90 % at " words(m) " Kbit/s"
			if (b != "") line = line "; below half at " words(b) " Kbit/s"
			fill("  - ", line ".")
		}
	}
	function summary(    c) {
		c = where("ingress", 1)
		fill("", "Under TCP, the egress limit'"'"'s goodput was " span("egress") \
			" of the set rate (medians over every rate and round trip" \
			" measured); the ingress limit held within 10 % of its rate " \
			(c == "" ? "at no rate and round trip measured" : "only at " c) ".")
	}
	function caveats(    i, j, d, c, line) {
		print ".Pp"
		print "TCP transfers with"
		print ".Xr iperf3 1"
		print "between two network namespaces under a user-mode Linux kernel, with"
		print "the round trip lengthened by netem, reached these goodputs in percent"
		print "of the set rate, each the median of " runs " runs, at the set rates in"
		print "Kbit/s that head the columns:"
		line = ".Bl -column \"direction\" \"round trip\""
		for (j = 1; j <= nsets; j++) line = line " \"" set[j] "\""
		print line " -offset indent"
		line = ".It Em direction Ta Em round trip"
		for (j = 1; j <= nsets; j++) line = line " Ta Em " set[j]
		print line
		for (d = 1; d <= 2; d++)
			for (i = 1; i <= nrtts; i++) {
				line = ".It " dir[d] " Ta " ms(rtt[i])
				for (j = 1; j <= nsets; j++)
					line = line " Ta " pct(med[dir[d], rtt[i], set[j]], set[j])
				print line
			}
		print ".El"
		print ".Pp"
		c = where("ingress", 1)
		line = span("egress")
		gsub(/ %/, "%", line)
		fill("", "The ingress limit held TCP within 10% of its rate " \
			(c == "" ? "at no rate and round trip measured" : "only at " c) \
			"; the egress limit reached " line " of its rate.")
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
			if ($0 != "direction\trtt_ms\tping_ms\tset_kbit\truns\tmedian_kbit\tmin_kbit\tmax_kbit\tratio\teach_kbit") {
				print FILENAME ": not a table of bench/traffic.sh" > "/dev/stderr"
				exit 1
			}
			next
		}
		if ($0 ~ /^# /) { meta[substr($1, 3)] = $2; next }
		if (!seen_rtt[$2]++) rtt[++nrtts] = $2
		if ($4 != "-" && !seen_set[$4]++) set[++nsets] = $4
		if (!seen_dir[$1]++) dir[++ndirs] = $1
		med[$1, $2, $4] = $6; lo[$1, $2, $4] = $7; hi[$1, $2, $4] = $8
		ping[$1, $2] = sprintf("%.1f", $3)
		runs = $5
		next
	}
	FNR == 1 && (ndirs != 2 || dir[1] != "egress" || dir[2] != "ingress") {
		print FILENAME ": want egress and ingress rows, in that order" > "/dev/stderr"
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
