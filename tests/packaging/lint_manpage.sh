#!/bin/sh
# Lints the manual page with mandoc and with groff, the formatter man-db
# uses; any message at all fails, so a warning cannot creep in unseen.
set -eu
page=$1
out=$(mandoc -T lint -W warning "$page" 2>&1) || { echo "$out"; echo "mandoc -T lint failed on $page" >&2; exit 1; }
if [ -n "$out" ]; then
	echo "$out"
	exit 1
fi
out=$(groff -mdoc -ww -z "$page" 2>&1) || { echo "$out"; echo "groff failed on $page" >&2; exit 1; }
if [ -n "$out" ]; then
	echo "$out"
	exit 1
fi
echo "$page: clean under mandoc -T lint -W warning and groff -mdoc -ww"
