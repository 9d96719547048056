#!/bin/sh
# Boots the newest user-mode kernel that Debian has, sid's, with init.sh's
# rows for it (UML_PART=newest): the plain, shaped and cake modes on the
# kernel that users of new releases meet first. sid's kernel needs sid's C
# library, newer than this machine's: both are unpacked into DIR, and a
# copy of the kernel is pointed at that library (UML re-executes itself,
# so starting it through the loader does not do). sid's tc comes the same
# way, for the kinds that the machine's own does not know (cake_mq). Packages come from the
# archive that the machine's own release comes from, through lists of
# DIR's own: the machine's apt state stays as it is. A package that cannot
# be fetched fails the test, as a missing one would.
# Usage: newest.sh DIR PONDREL WIRE_CHECK RACE STRERROR OUTDIR
set -eu
if [ $# -ne 6 ]; then
	echo "usage: newest.sh DIR PONDREL WIRE_CHECK RACE STRERROR OUTDIR" >&2
	exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1"
dir=$(cd "$1" && pwd)
shift
# shellcheck source=/dev/null
. /etc/os-release
# shellcheck disable=SC2016 # apt's own field, not the shell's
site=$(apt-get indextargets --format '$(SITE)' "Codename: $VERSION_CODENAME" | head -n 1)
mkdir -p "$dir/lists/partial" "$dir/archives/partial" "$dir/sources"
printf 'Types: deb\nURIs: %s\nSuites: sid\nComponents: main\nArchitectures: amd64\nSigned-By: %s\n' \
	"$site" /usr/share/keyrings/debian-archive-keyring.gpg >"$dir/sources/sid.sources"
apt="-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts=$dir/sources
	-o Dir::State::Lists=$dir/lists -o Dir::Cache::Archives=$dir/archives
	-o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache="
# shellcheck disable=SC2086 # one option a word
sh "$here/../../scripts/apt-update.sh" $apt
rm -f "$dir"/archives/*.deb
# shellcheck disable=SC2086
if ! (cd "$dir/archives" && apt-get $apt download -qq user-mode-linux libc6 iproute2 2>"$dir/download.log"); then
	cat "$dir/download.log" >&2
	echo "FAIL: sid's user-mode-linux, libc6 and iproute2 cannot be fetched" >&2
	exit 1
fi
rm -rf "$dir/root"
for deb in "$dir"/archives/user-mode-linux_*.deb "$dir"/archives/libc6_*.deb \
	"$dir"/archives/iproute2_*.deb; do
	dpkg-deb -x "$deb" "$dir/root"
done
lib=$dir/root/usr/lib/x86_64-linux-gnu
cp "$dir/root/usr/bin/linux.uml" "$dir/linux.uml"
patchelf --set-interpreter "$lib/ld-linux-x86-64.so.2" --set-rpath "$lib" "$dir/linux.uml"
# The machine's own libraries serve the rest of what tc needs.
cp "$dir/root/usr/sbin/tc" "$dir/tc"
patchelf --set-interpreter "$lib/ld-linux-x86-64.so.2" \
	--set-rpath "$lib:/usr/lib/$(uname -m)-linux-gnu" "$dir/tc"
UML_KERNEL=$dir/linux.uml UML_MODULES=$dir/root/usr/lib/uml/modules UML_PART=newest \
	UML_TC=$dir/tc \
	exec sh "$here/run.sh" "$@"
