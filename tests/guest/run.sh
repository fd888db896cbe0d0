#!/bin/bash
# Runs the AArch64 ptbenv against real MTD drivers of a Linux kernel:
#
#   tests/guest/run.sh PATH/TO/AARCH64/ptbenv PATH/TO/HOST/mkptb
#
# Boots Debian 12's arm64 kernel under qemu-system-aarch64 (TCG) with a busybox
# initramfs, loads nandsim (simulated NAND with bad blocks) or mtdram so that
# they provide /dev/mtd2, runs ptbenv there and compares its stdout, stderr and
# exit status, byte for byte, with what cases.sh expects. Prints PASS/FAIL per
# case and a summary line; exits 0 only when every case passed.
#
# Downloads (kernel, busybox) and the modules built for that kernel are cached
# in ${PTBENV_CACHE:-$HOME/.cache/ptbenv}/guest; delete that directory to move
# to a newer kernel. Missing host packages are installed with apt-get. Needs
# root for that, and network access to the Debian archive on the first run.
# PTBENV_GUEST_TIMEOUT (seconds, default 180) bounds the guest's run;
# PTBENV_GUEST_CONSOLE=FILE keeps the guest's console output there.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
CACHE=${PTBENV_CACHE:-${HOME:-/root}/.cache/ptbenv}/guest
TIMEOUT=${PTBENV_GUEST_TIMEOUT:-180}
CROSS_LIB=/usr/aarch64-linux-gnu/lib
CASES=()

source "$HERE/assets.sh"
source "$HERE/cases.sh"

# --- describing cases (used by cases.sh) ---

# guest CMD ARGS...: a setup step for the guest's /init (see init).
guest() {
	echo "$*" >>"$WORK/root/cases.sh"
}

# image NAME key=value...: builds a PTB image with mkptb for the guest.
image() {
	local name=$1
	shift
	"$MKPTB" "$WORK/root/images/$name" "$@"
}

# expect NAME STATUS STDOUT STDERR ARGS...: ptbenv ARGS must give exactly these.
expect() {
	local name=$1 status=$2 n
	CASES+=("$name")
	n=${#CASES[@]}
	printf '%s' "$3" >"$WORK/expect/$n.out"
	printf '%s' "$4" >"$WORK/expect/$n.err"
	echo "$status" >"$WORK/expect/$n.rc"
	shift 4
	if (($#)); then
		echo "check $n $(printf '%q ' "$@")" >>"$WORK/root/cases.sh"
	else
		echo "check $n" >>"$WORK/root/cases.sh"
	fi
}

# --- the initramfs ---

# Copies the program interpreter and every shared library $1 needs, from the
# cross toolchain, to where the guest's dynamic loader looks for them.
copy_runtime() {
	local file=$1 root=$2 interp lib
	interp=$(aarch64-linux-gnu-readelf -l "$file" |
		sed -n 's/.*Requesting program interpreter: \(.*\)]/\1/p')
	if [[ -n $interp && ! -e $root$interp ]]; then
		mkdir -p "$root$(dirname "$interp")"
		cp -L "$CROSS_LIB/$(basename "$interp")" "$root$interp"
	fi
	for lib in $(aarch64-linux-gnu-readelf -d "$file" |
		sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
		[[ -e $root/lib/aarch64-linux-gnu/$lib ]] && continue
		cp -L "$CROSS_LIB/$lib" "$root/lib/aarch64-linux-gnu/$lib"
		copy_runtime "$root/lib/aarch64-linux-gnu/$lib" "$root"
	done
}

build_initramfs() {
	local assets=$1 root=$WORK/root
	mkdir -p "$root/bin" "$root/lib/aarch64-linux-gnu" "$root/modules"
	cp "$assets/busybox" "$root/bin/busybox"
	ln -s busybox "$root/bin/sh"
	cp "$HERE/init" "$root/init"
	cp "$assets"/modules/*.ko "$root/modules/"
	cp "$PTBENV" "$root/ptbenv"
	chmod 755 "$root/init" "$root/ptbenv"
	copy_runtime "$PTBENV" "$root"
	(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$WORK/initrd.gz"
}

boot_guest() {
	local assets=$1 token=$2 status=0
	timeout "$TIMEOUT" qemu-system-aarch64 -M virt -cpu cortex-a57 -m 512 \
		-nodefaults -display none -no-reboot -serial stdio -monitor none \
		-kernel "$assets/vmlinuz" -initrd "$WORK/initrd.gz" \
		-append "console=ttyAMA0 panic=-1 quiet loglevel=4 ptbtoken=$token" \
		</dev/null 2>&1 | tr -d '\r' >"$WORK/console.log" || status=$?
	if ((status == 124)); then
		echo "guest: timed out after ${TIMEOUT}s"
	elif ((status != 0)); then
		echo "guest: qemu exited with status $status"
	fi
}

# --- results ---

# unhex HEX FILE: writes the bytes the guest sent as hex ("-" for none).
unhex() {
	if [[ $1 == - ]]; then
		: >"$2"
	else
		printf '%b' "$(sed 's/../\\x&/g' <<<"$1")" >"$2"
	fi
}

# Prints file $1 readably: runs of 8 or more equal bytes as "[N x 0xHH]",
# other control and high bytes as cat -v shows them, long lines folded.
readable() {
	perl -0777 -pe 's/(.)\1{7,}/sprintf("[%d x 0x%02X]", length($&), ord($1))/gse' "$1" |
		cat -v | fold -w 100
}

# show_diff STREAM EXPECTED ACTUAL: a unified diff, cut at 40 lines.
show_diff() {
	diff -u --label "expected $1" --label "actual $1" \
		<(readable "$2") <(readable "$3") | head -n 40 | sed 's/^/    /' || true
}

# judge N: compares case N's result with its expectation; 0 when they match.
judge() {
	local n=$1 exp=$WORK/expect/$1 act=$WORK/actual/$1
	if [[ ! -e $act.rc ]]; then
		echo "FAIL ${CASES[n - 1]} (no result from the guest)"
		return 1
	fi
	if cmp -s "$exp.out" "$act.out" && cmp -s "$exp.err" "$act.err" &&
		cmp -s "$exp.rc" "$act.rc"; then
		echo "PASS ${CASES[n - 1]}"
		return 0
	fi
	echo "FAIL ${CASES[n - 1]}"
	cmp -s "$exp.rc" "$act.rc" ||
		echo "    exit status: expected $(cat "$exp.rc"), got $(cat "$act.rc")"
	cmp -s "$exp.out" "$act.out" || show_diff stdout "$exp.out" "$act.out"
	cmp -s "$exp.err" "$act.err" || show_diff stderr "$exp.err" "$act.err"
	return 1
}

# Splits the console log into result files; prints the cases the guest ran.
collect_results() {
	local token=$1 tag n rc out err
	while read -r tag n rc out err; do
		unhex "$out" "$WORK/actual/$n.out"
		unhex "$err" "$WORK/actual/$n.err"
		echo "$rc" >"$WORK/actual/$n.rc"
	done < <(sed -n "s/^$token R /R /p" "$WORK/console.log")
	sed -n "s/^$token END \([0-9]*\)$/\1/p" "$WORK/console.log"
}

report() {
	local token=$1 ran n passed=0 failed=0
	ran=$(collect_results "$token")
	grep "^$token SETUP-FAILED" "$WORK/console.log" | sed "s/^$token /guest: /" || true
	for ((n = 1; n <= ${#CASES[@]}; n++)); do
		if judge "$n"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
	done
	if [[ $ran != "${#CASES[@]}" ]]; then
		echo "FAIL guest: did not finish its cases; last console lines:"
		grep -v "^$token " "$WORK/console.log" | tail -n 25 | sed 's/^/    /'
		failed=$((failed + 1))
	fi
	echo "guest: $passed passed, $failed failed"
	((failed == 0))
}

usage() {
	echo "usage: $0 AARCH64_PTBENV HOST_MKPTB" >&2
	echo "  $*" >&2
	exit 2
}

main() {
	(($# == 2)) || usage "two arguments needed"
	[[ -f $1 ]] || usage "no such file: $1"
	[[ -x $2 ]] || usage "not an executable: $2"
	PTBENV=$(realpath "$1")
	MKPTB=$(realpath "$2")
	local abi token lock
	mkdir -p "$CACHE"
	# Runs side by side (say, from ctest -j) share one cache and apt: one at a time.
	exec {lock}>"$CACHE/.lock"
	flock "$lock"
	install_host_packages
	abi=$(guest_kernel_abi)
	flock -u "$lock"
	aarch64-linux-gnu-readelf -h "$PTBENV" | grep -q 'Machine: *AArch64' ||
		usage "not an AArch64 program: $1"
	WORK=$(mktemp -d)
	trap 'rm -rf "$WORK"' EXIT
	mkdir -p "$WORK/root/images" "$WORK/expect" "$WORK/actual"
	define_cases
	build_initramfs "$CACHE/$abi"
	token=$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')
	echo "guest: booting $abi with ${#CASES[@]} cases"
	boot_guest "$CACHE/$abi" "$token"
	[[ -z ${PTBENV_GUEST_CONSOLE:-} ]] || cp "$WORK/console.log" "$PTBENV_GUEST_CONSOLE"
	report "$token"
}

main "$@"
