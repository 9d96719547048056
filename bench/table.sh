#!/bin/sh
# Writes a table into a Markdown document, so that no measured figure is
# copied by hand: the tab-separated lines on standard input, a header line
# first, become a table between the lines "<!-- NAME:begin ... -->" and
# "<!-- NAME:end -->" of DOC, replacing what stood there; columns of
# figures are right-aligned. Only tables go there: what to make of them is
# written by hand around the marks.
# Usage: table.sh DOC NAME <TSV
set -eu
if [ $# -ne 2 ]; then
	echo "usage: table.sh DOC NAME <TSV" >&2
	exit 2
fi
new=$(mktemp)
trap 'rm -f "$new"' EXIT
awk -F '\t' -v name="$2" -v doc="$1" '
	# The table comes first, in ARGV[1], read from standard input.
	FILENAME == "-" {
		rows[++n] = $0
		for (i = 1; i <= NF; i++)
			if (n > 1 && $i !~ /^[-+]?[0-9.]+(–[0-9.]+)?( \(.*\))?$|^-$/) text[i] = 1
		if (NF > cols) cols = NF
		next
	}
	$0 ~ "^<!-- " name ":begin" {
		print
		# A header without rows is no table: the block stays empty.
		for (r = 1; n > 1 && r <= n; r++) {
			split(rows[r], f, "\t")
			line = "|"
			for (i = 1; i <= cols; i++) line = line " " f[i] " |"
			print line
			if (r > 1) continue
			line = "|"
			for (i = 1; i <= cols; i++) line = line (text[i] ? "---|" : "---:|")
			print line
		}
		skip = 1; found = 1
		next
	}
	$0 == "<!-- " name ":end -->" { skip = 0; ended = 1 }
	!skip { print }
	END {
		if (!found || !ended) {
			print doc ": no marks for " name > "/dev/stderr"
			exit 1
		}
	}' - "$1" >"$new"
cat "$new" >"$1"
