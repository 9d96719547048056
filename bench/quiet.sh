# shellcheck shell=sh disable=SC2034,SC2154,SC2086 # dir comes from, start and the rest go to, the sourcing bench; no blanks in dir
# The quiet-machine guard of bench/traffic.sh, bench/load.sh and
# bench/autorate.sh, sourced by each (no shebang: it never runs alone).
# Figures from a busy machine understate what the limits do, as the
# user-mode kernel gets less CPU than its timers want: quiet is a 1-minute
# load average of at most half the CPUs before the run, and at most that
# plus 1 during it, as the guest keeps one CPU busy itself. The sourcing script sets dir, and
# narrowed for a run it shortened; it reads cpus, busy and, after
# guest_sampled, start, end, during and after, and after choose_out, out
# and doc; end_with_targets ends a bench with targets.
cpus=$(nproc)
busy=''

above() { # LOAD EXTRA: whether LOAD is above half the CPUs plus EXTRA
	awk -v l="$1" -v c="$cpus" -v e="$2" 'BEGIN { exit !(l > c / 2 + e) }'
}

# Boots the user-mode kernel in MODE (its console log in $dir/MODE.log)
# while the host's load is sampled every 10 s; a load above the bound
# during the run joins $busy. A guest that fails ends the bench.
guest_sampled() { # MODE WHAT run.sh's ARGUMENTS...
	mode=$1 what=$2
	shift 2
	(while :; do
		cut -d' ' -f1 /proc/loadavg
		sleep 10
	done) >$dir/load-during &
	sampler=$!
	trap 'kill $sampler 2>/dev/null || true' EXIT
	start=$(date +%s)
	UML_MODE=$mode sh tests/uml/run.sh "$@" >$dir/$mode.log || {
		tail -n 20 $dir/$mode.log
		echo "FAIL: $what did not complete; see $dir/$mode.log" >&2
		exit 1
	}
	end=$(date +%s)
	kill $sampler
	after=$(cut -d' ' -f1-3 /proc/loadavg)
	during=$(sort -n $dir/load-during | tail -n 1)
	if above "$during" 1; then
		busy="${busy:+$busy
}load average up to $during during the run, above half of $cpus CPUs plus 1"
	fi
}

# Where a run's figures go: into docs/ after a whole run on a quiet
# machine, otherwise into $dir, beside a copy of docs/performance.md.
choose_out() {
	out=$dir doc=$dir/performance.md
	if [ -z "$narrowed$busy" ]; then
		out=docs doc=docs/performance.md
	else
		cp docs/performance.md $dir/
	fi
}

# Why a run left docs/ as it was, if it did.
why_docs_stay() { # BENCH
	if [ -n "$narrowed$busy" ]; then
		echo "$1: docs/ left as it was, because" >&2
		printf '%s\n%s\n' "$narrowed" "$busy" | sed '/^$/d; s/^/  /' >&2
	fi
}

# The end of a bench that printed PASS and FAIL lines into $dir/targets:
# its summary, and exit 1 for a failed target or a busy machine.
end_with_targets() { # BENCH WHAT-IT-WROTE
	echo "$1: $((end - start)) s, load average $before before, up to $during during, $after after;" \
		"$2 in $doc, data in $out/"
	why_docs_stay "$1"
	! grep -q '^FAIL' $dir/targets && [ -z "$busy" ] || exit 1
	exit 0
}
