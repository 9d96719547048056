#!/bin/sh
# Fails when the tool outgrows a small system: its stripped size, the
# libraries it needs at run time, or the libnl calls it imports. Only the
# calls below may be imported, so that smaller libnl builds that offer just
# these still run it.
#   footprint.sh BINARY MAX_STRIPPED_BYTES|none
# STRIP and NM name the target's tools for a cross-built binary.
set -eu
bin=$1
limit=$2
allowed="nlmsg_set_default_size nlmsg_alloc_simple nlmsg_append nlmsg_hdr
nlmsg_free nlmsg_convert nla_put nla_put_string nlmsg_parse nla_parse_nested
nla_data nla_len"
fail=0

stripped=$(mktemp)
trap 'rm -f "$stripped"' EXIT
"${STRIP:-strip}" -o "$stripped" "$bin"
size=$(wc -c <"$stripped")
echo "stripped size: $size bytes (limit: $limit)"
if [ "$limit" != none ] && [ "$size" -gt "$limit" ]; then
	echo "FAIL: stripped size $size bytes is above $limit"
	fail=1
fi

needed=$(readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "NEEDED:" $needed
for lib in $needed; do
	case $lib in
	libc.so.* | libnl-3.so.*) ;;
	*)
		echo "FAIL: needs $lib"
		fail=1
		;;
	esac
done

# Every strong import is either the C library's (versioned GLIBC_) or one
# of the allowed libnl calls; weak ones are the toolchain's optional hooks.
# A fully static binary has no dynamic symbols, so it imports nothing.
imports=
if readelf -SW "$bin" | grep -q ' \.dynsym '; then
	imports=$("${NM:-nm}" -D --undefined-only "$bin" | awk '$1 == "U" { print $2 }')
fi
for sym in $imports; do
	case $sym in
	*@GLIBC_*) continue ;;
	esac
	name=${sym%%@*}
	if ! echo "$allowed" | tr ' ' '\n' | grep -qx "$name"; then
		echo "FAIL: imports $sym"
		fail=1
	fi
done
exit $fail
