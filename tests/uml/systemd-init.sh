#!/bin/sh
# Init of the user-mode kernel for the systemd suite, booted by run.sh like
# init.sh: it makes a copy-on-write overlay of the host's root and boots
# systemd in it, with pondrel's unit and hook and a target that runs
# systemd-check.sh, which prints the "ok - "/"FAIL - " lines and the end line.
# systemd cleans /tmp and writes its journal: on the host's root, which this
# kernel sees read-write, that would reach the host, so everything it writes
# must land in a tmpfs under the overlay. Needs udev installed, as systemd
# makes no device unit for an interface without it.
set -u
if [ "$$" -ne 1 ]; then
	echo "systemd-init.sh only runs as the init of the user-mode kernel" >&2
	exit 1
fi
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
trap 'poweroff -f' EXIT
here=$(cd "$(dirname "$0")" && pwd)
service=$(cd "$here/../../service" && pwd)
fail() {
	echo "FAIL - $*"
	exit 1
}

mount -t proc proc /proc
mount -t tmpfs tmpfs /run
# shellcheck source=/dev/null
. "$UML_OUT/env" # PONDREL
[ -x /lib/systemd/systemd-udevd ] || fail "udev is not installed; scripts/deps.sh installs it"
mods=/usr/lib/uml/modules/$(uname -r)
# The qdiscs, the classifier and the police action of a plain run are left
# to the kernel, which loads them through modprobe when the unit's first
# run names them. Without numifbs=0 ifb makes ifb0 and ifb1, which nothing
# needs and which would hide whether the shaped mode's IFB is gone.
for m in fs/overlayfs/overlay drivers/net/dummy net/sched/act_mirred; do
	busybox insmod "$mods/kernel/$m.ko" || fail "module $m cannot be loaded"
done
busybox insmod "$mods/kernel/drivers/net/ifb.ko" numifbs=0 || fail "module ifb cannot be loaded"

T=/run/pondrel-systemd
mkdir -p $T/upper $T/work $T/root
mount -t overlay -o lowerdir=/,upperdir=$T/upper,workdir=$T/work overlay $T/root ||
	fail "the overlay cannot be mounted"
# Nothing starts unless that root is really the overlay.
grep -q "^overlay $T/root overlay " /proc/mounts || fail "$T/root is not an overlay"
r=$T/root

# Everything the checks run is copied in: systemd empties /tmp, where the
# checkout may be, and in the overlay that hides it.
cp "$PONDREL" $r/usr/local/sbin/pondrel
cp "$(dirname "$PONDREL")/pondrel-auto" $r/usr/local/sbin/pondrel-auto
cp "$here/systemd-check.sh" $r/usr/local/sbin/pondrel-check
mkdir -p $r/usr/local/lib
cp "$here/../common/checks.sh" $r/usr/local/lib/pondrel-checks.sh
cp "$service/pondrel@.service" "$service/pondrel-auto@.service" $r/etc/systemd/system/
# The kernel's modprobe, busybox's, runs in this root, where it finds the
# modules in the directory it looks in.
mkdir -p $r/usr/lib/modules
ln -s "$mods" "$r/usr/lib/modules/$(uname -r)"
# That directory now makes systemd list its static nodes with kmod, which
# is not there and not needed: the unit would only fail.
ln -s /dev/null $r/etc/systemd/system/kmod-static-nodes.service
ln -s "$(command -v busybox)" $r/usr/local/sbin/modprobe
echo /usr/local/sbin/modprobe >/proc/sys/kernel/modprobe
mkdir -p $r/etc/network/if-up.d $r/etc/network/if-post-down.d
cp "$service/if-up.d/pondrel" $r/etc/network/if-up.d/pondrel
cp "$service/if-post-down.d/pondrel" $r/etc/network/if-post-down.d/pondrel
cat >$r/etc/systemd/system/pondrel-check.service <<EOF
[Unit]
Description=pondrel's checks under systemd
After=sysinit.target systemd-udevd.service systemd-journald.service
# A check that cannot even start must end the boot too, not leave it hanging.
SuccessAction=poweroff-force
FailureAction=poweroff-force

[Service]
Type=oneshot
ExecStart=/bin/sh /usr/local/sbin/pondrel-check
StandardOutput=tty
StandardError=tty
TTYPath=/dev/console
EOF
cat >$r/etc/systemd/system/pondrel-check.target <<EOF
[Unit]
Description=pondrel's checks under systemd
Requires=pondrel-check.service
After=pondrel-check.service
EOF
echo "pondrel-uml: booting systemd in the overlay at $(cut -d' ' -f1 /proc/uptime) s"
trap - EXIT
# --unit, not systemd.unit=: systemd takes kernel-style words from its own
# arguments only where it believes it runs in a container.
exec chroot $r /lib/systemd/systemd --unit=pondrel-check.target
