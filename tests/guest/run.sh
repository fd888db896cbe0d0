#!/bin/bash
# Runs the AArch64 ptbenv and ptbtool against real MTD drivers of Linux kernels:
#
#   tests/guest/run.sh DYNAMIC_BUILD STATIC_BUILD HOST_PTBTOOL
#
# DYNAMIC_BUILD and STATIC_BUILD are the build folders of the aarch64 and
# aarch64-static presets, each holding ptbenv and ptbtool. The host build
# that made HOST_PTBTOOL also wrote the fixture's layout, the keys the cases
# cover, to tests/ptb_layout.sh beside it.
#
# Boots Debian's arm64 kernels of three generations (5.10 of bullseye, 6.1 of
# bookworm, 6.12 of trixie) under qemu-system-aarch64 (TCG) with a busybox
# initramfs, loads nandsim (simulated NAND with bad blocks) or mtdram so that
# they provide /dev/mtd2, runs ptbenv and ptbtool there and compares their
# stdout, stderr and exit status, byte for byte, with what cases.sh expects.
# Each kernel boots twice: with the dynamic binaries over Debian 11's C
# library (glibc 2.31) and mtd-utils, and with the static binaries and no C
# library at all. Prints PASS/FAIL per case and a summary line; exits 0 only
# when every case passed.
#
# Downloads and the modules built for each kernel are cached in
# ${PTBENV_CACHE:-$HOME/.cache/ptbenv}/guest; delete that directory to move to
# newer kernels. Missing host packages are installed with apt-get (with sudo
# unless root), and the first run needs access to Debian's archive.
# PTBENV_GUEST_TIMEOUT (seconds, default 180; for the bench 180 + 2 N)
# bounds each boot; PTBENV_GUEST_KERNELS (default "bullseye bookworm
# trixie") picks the suites; PTBENV_GUEST_CONSOLE=DIR keeps each boot's
# console output there; PTBENV_GUEST_BENCH=N runs no cases but times, on
# 6.1, N runs of each ptbenv, and N rounds of reading every value with each
# build's ptbenv, a run a key, against one ptbtool show; with
# PTBENV_GUEST_BENCH_BEFORE=FILE, a static AArch64 ptbtool of an earlier
# tree, N sets with it against N with the static build.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
CACHE=${PTBENV_CACHE:-${HOME:-/root}/.cache/ptbenv}/guest
TIMEOUT=${PTBENV_GUEST_TIMEOUT:-180}
read -r -a KERNELS <<<"${PTBENV_GUEST_KERNELS:-bullseye bookworm trixie}"

source "$HERE/../../scripts/debian-archive.sh"
source "$HERE/../../scripts/lib.sh"
source "$HERE/assets.sh"
source "$HERE/cases.sh"

# --- describing cases (used by cases.sh) ---

# guest CMD ARGS...: a setup step for the guest's /init (see init).
guest() {
	echo "$*" >>"$WORK/root/cases.sh"
}

# image NAME key=value...: builds a PTB image with ptbtool make for the guest.
image() {
	local name=$1
	shift
	"$PTBTOOL" make "$WORK/root/images/$name" "$@"
}

# patched NAME FROM OFFSET BYTES: image FROM with BYTES (a printf format)
# written at OFFSET, for images ptbtool make would refuse.
patched() {
	cp "$WORK/root/images/$2" "$WORK/root/images/$1"
	# shellcheck disable=SC2059 # the bytes are a format
	printf "$4" | dd of="$WORK/root/images/$1" bs=1 seek="$3" conv=notrunc status=none
}

# new_case NAME STATUS STDOUT STDERR: records what case NAME must give;
# prints its number.
new_case() {
	CASES+=("$1")
	local n=${#CASES[@]}
	printf '%s' "$3" >"$WORK/expect/$n.out"
	printf '%s' "$4" >"$WORK/expect/$n.err"
	echo "$2" >"$WORK/expect/$n.rc"
}

# expect_run NAME STATUS STDOUT STDERR COMMAND ARGS...: the guest's COMMAND
# (/ptbenv, /ptbtool, a busybox command) with ARGS must give exactly these.
expect_run() {
	local n
	new_case "$@"
	n=${#CASES[@]}
	shift 4
	echo "check $n $(printf '%q ' "$@")" >>"$WORK/root/cases.sh"
}

# expect NAME STATUS STDOUT STDERR ARGS...: ptbenv ARGS must give exactly these.
expect() {
	expect_run "${@:1:4}" /ptbenv "${@:5}"
}

# shown NAME STATUS STDOUT STDERR DUMP KEY OPTIONS...: on the host,
# ptbtool show OPTIONS over the dump the guest sent back as DUMP, for KEY,
# must give exactly these.
shown() {
	local n
	new_case "$@"
	n=${#CASES[@]}
	shift 4
	HOST_CHECKS+=("$n $(printf '%q ' "$@")")
}

# --- the initramfs ---

# Copies the program interpreter and every shared library $1 needs, from the
# C library unpacked under $3, to where the guest's dynamic loader looks.
copy_runtime() {
	local file=$1 root=$2 libc=$3 interp lib
	interp=$(aarch64-linux-gnu-readelf -l "$file" |
		sed -n 's/.*Requesting program interpreter: \(.*\)]/\1/p')
	if [[ -n $interp && ! -e $root$interp ]]; then
		mkdir -p "$root$(dirname "$interp")"
		cp -L "$libc$interp" "$root$interp"
	fi
	for lib in $(aarch64-linux-gnu-readelf -d "$file" |
		sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
		[[ -e $root/lib/aarch64-linux-gnu/$lib ]] && continue
		cp -L "$libc/lib/aarch64-linux-gnu/$lib" "$root/lib/aarch64-linux-gnu/$lib"
		copy_runtime "$root/lib/aarch64-linux-gnu/$lib" "$root" "$libc"
	done
}

# build_initramfs ASSETS BUILD [USERLAND]: the guest's root, with ptbenv and
# ptbtool of BUILD. With USERLAND, their C library, the flash tools in
# /tools and libptb's example with its library; without, no C library at all.
build_initramfs() {
	local assets=$1 build=$2 userland=${3:-} root=$WORK/root tool
	mkdir -p "$root/bin" "$root/modules"
	cp "$assets/busybox" "$root/bin/busybox"
	ln -s busybox "$root/bin/sh"
	cp "$HERE/init" "$root/init"
	cp "$assets"/modules/*.ko "$root/modules/"
	cp "$build/ptbenv" "$build/ptbtool" "$root/"
	if [[ -n ${BENCH_STATIC:-} ]]; then
		cp "$BENCH_STATIC/ptbenv" "$root/ptbenv-static"
		cp "$BENCH_STATIC/ptbtool" "$root/ptbtool-static"
		[[ -z ${PTBENV_GUEST_BENCH_BEFORE:-} ]] || cp "$PTBENV_GUEST_BENCH_BEFORE" "$root/ptbtool-before"
	fi
	chmod 755 "$root/init" "$root"/ptbenv* "$root"/ptbtool*
	if [[ -n $userland ]]; then
		mkdir -p "$root/lib/aarch64-linux-gnu" "$root/tools"
		copy_runtime "$root/ptbenv" "$root" "$userland"
		copy_runtime "$root/ptbtool" "$root" "$userland"
		# libptb's C example, over the library of its build.
		cp "$build/ptb_example" "$root/"
		cp -L "$build/libptb.so.1" "$root/lib/aarch64-linux-gnu/"
		copy_runtime "$root/ptb_example" "$root" "$userland"
		for tool in flash_erase nandwrite nanddump; do
			cp "$userland/usr/sbin/$tool" "$root/tools/"
			copy_runtime "$root/tools/$tool" "$root" "$userland"
		done
	fi
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
	local n=$1 exp=$WORK/expect/$1 act=$WORK/actual/$1 name="$LABEL ${CASES[$1 - 1]}"
	if [[ ! -e $act.rc ]]; then
		echo "FAIL $name (no result)"
		return 1
	fi
	if cmp -s "$exp.out" "$act.out" && cmp -s "$exp.err" "$act.err" &&
		cmp -s "$exp.rc" "$act.rc"; then
		echo "PASS $name"
		return 0
	fi
	echo "FAIL $name"
	cmp -s "$exp.rc" "$act.rc" ||
		echo "    exit status: expected $(cat "$exp.rc"), got $(cat "$act.rc")"
	cmp -s "$exp.out" "$act.out" || show_diff stdout "$exp.out" "$act.out"
	cmp -s "$exp.err" "$act.err" || show_diff stderr "$exp.err" "$act.err"
	return 1
}

# Splits the console log into result and dump files; prints the cases the
# guest ran.
collect_results() {
	local token=$1 tag n rc out err
	while read -r tag n rc out err; do
		if [[ $tag == D ]]; then
			unhex "$rc" "$WORK/dumps/$n"
			continue
		fi
		unhex "$out" "$WORK/actual/$n.out"
		unhex "$err" "$WORK/actual/$n.err"
		echo "$rc" >"$WORK/actual/$n.rc"
	done < <(sed -n "s/^$token \([RD]\) /\1 /p" "$WORK/console.log")
	sed -n "s/^$token END \([0-9]*\)$/\1/p" "$WORK/console.log"
}

# Runs the shown cases: ptbtool show over the dumps the guest sent back.
run_host_checks() {
	local check n dump key rc
	for check in "${HOST_CHECKS[@]}"; do
		eval "set -- $check"
		n=$1 dump=$WORK/dumps/$2 key=$3
		shift 3
		[[ -e $dump ]] || continue
		rc=0
		"$PTBTOOL" show "$@" "$dump" "$key" >"$WORK/actual/$n.out" 2>"$WORK/actual/$n.err" || rc=$?
		echo "$rc" >"$WORK/actual/$n.rc"
	done
}

# report TOKEN: judges every case of this boot; adds to PASSED and FAILED.
report() {
	local token=$1 ran n
	ran=$(collect_results "$token")
	run_host_checks
	grep "^$token SETUP-FAILED" "$WORK/console.log" | sed "s|^$token |guest: $LABEL |" || true
	for ((n = 1; n <= ${#CASES[@]}; n++)); do
		if judge "$n"; then PASSED=$((PASSED + 1)); else FAILED=$((FAILED + 1)); fi
	done
	if [[ $ran != "$GUEST_CASES" ]]; then
		echo "FAIL $LABEL guest: did not finish its cases; last console lines:"
		grep -v "^$token " "$WORK/console.log" | tail -n 25 | sed 's/^/    /'
		FAILED=$((FAILED + 1))
	fi
}

# bench_report TOKEN ABI: the bench's timings, in ms a run or a round (the
# guest's clock counts hundredths of a second), and their ratios.
bench_report() {
	awk -v token="$1" -v abi="$2" '$1 != token || $2 != "B" { next }
		$3 == "every" {
			every = every sprintf("bench: %s, every value, %d rounds: %d %s runs %.2f ms, one %s show %.2f ms a round; show/ptbenv %.3f%s\n",
				abi, $5, $8, $4, $6 * 10 / $5, ($4 == "/ptbenv" ? "/ptbtool" : "/ptbtool-static"),
				$7 * 10 / $5, ($6 > 0 ? $7 / $6 : 0), ($9 == "yes" ? "" : " (their lines differ!)"))
			next
		}
		$3 == "set" {
			set_t[$4] = $6 * 10 / $5
			if ($4 == "/ptbtool-before")
				every = every sprintf("bench: %s, %d sets each: static %.2f ms, before %.2f ms a set; static/before %.3f\n",
					abi, $5, set_t["/ptbtool-static"], set_t[$4], (set_t[$4] > 0 ? set_t["/ptbtool-static"] / set_t[$4] : 0))
			next
		}
		{ t[$3] = $5; n = $4 }
		END { printf "bench: %s, %d runs each: dynamic %.2f ms, static %.2f ms a run; static/dynamic %.3f\n%s",
			abi, n, t["/ptbenv"] * 10 / n, t["/ptbenv-static"] * 10 / n,
			(t["/ptbenv"] > 0 ? t["/ptbenv-static"] / t["/ptbenv"] : 0), every }' "$WORK/console.log"
}

# c_library PTBENV: the C library whose texts PTBENV prints, for cases.sh:
# the guest's for a dynamic binary, else the one linked in.
c_library() {
	if aarch64-linux-gnu-readelf -l "$1" | grep -q 'program interpreter'; then
		echo glibc
	elif grep -q -a 'Inappropriate ioctl for device' "$1"; then
		echo glibc
	else
		echo musl
	fi
}

# boot LABEL ABI BUILD [USERLAND]: one boot of kernel ABI with the binaries
# of BUILD and, when given, that userland; runs define_cases in it.
boot() {
	local token abi=$2 build=$3 userland=${4:-}
	LABEL=$1
	WORK=$(mktemp -d "$RUNDIR/boot.XXXXXX")
	CASES=() HOST_CHECKS=()
	mkdir -p "$WORK/root/images" "$WORK/expect" "$WORK/actual" "$WORK/dumps"
	: >"$WORK/root/cases.sh"
	GUEST_LIBC=$(c_library "$build/ptbenv") GUEST_TOOLS=${userland:+yes}
	if [[ -n ${PTBENV_GUEST_BENCH:-} ]]; then
		define_bench "$PTBENV_GUEST_BENCH"
	else
		define_cases
	fi
	GUEST_CASES=$(grep -c '^check ' "$WORK/root/cases.sh" || true)
	build_initramfs "$CACHE/$abi" "$build" "$userland"
	token=$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')
	echo "guest: booting $abi, $LABEL, with ${#CASES[@]} cases"
	boot_guest "$CACHE/$abi" "$token"
	[[ -z ${PTBENV_GUEST_CONSOLE:-} ]] ||
		cp "$WORK/console.log" "$PTBENV_GUEST_CONSOLE/${LABEL//\//-}.log"
	if [[ -n ${PTBENV_GUEST_BENCH:-} ]]; then
		bench_report "$token" "$abi"
	else
		report "$token"
	fi
	rm -rf "$WORK"
}

usage() {
	echo "usage: $0 DYNAMIC_BUILD STATIC_BUILD HOST_PTBTOOL" >&2
	echo "  $*" >&2
	exit 2
}

main() {
	(($# == 3)) || usage "three arguments needed"
	local f
	for f in "$1"/ptbenv "$1"/ptbtool "$2"/ptbenv "$2"/ptbtool; do
		[[ -f $f ]] || usage "no such file: $f"
	done
	[[ -x $3 ]] || usage "not an executable: $3"
	local dynamic static userland suite abi lock abis=()
	dynamic=$(realpath "$1") static=$(realpath "$2") PTBTOOL=$(realpath "$3")
	f=$(dirname "$PTBTOOL")/tests/ptb_layout.sh
	[[ -f $f ]] || usage "no layout beside the host ptbtool: $f"
	read_layout "$f" || exit 1
	mkdir -p "$CACHE"
	# Runs side by side (say, from ctest -j) share one cache and apt: one at a time.
	exec {lock}>"$CACHE/.lock"
	flock "$lock"
	need_packages "${HOST_PACKAGES[@]}"
	if [[ -n ${PTBENV_GUEST_BENCH:-} ]]; then
		KERNELS=(bookworm)
		# A round takes about a second and a half of emulated runs on a busy machine.
		TIMEOUT=${PTBENV_GUEST_TIMEOUT:-$((180 + 2 * PTBENV_GUEST_BENCH))}
	fi
	for suite in "${KERNELS[@]}"; do
		abis+=("$(guest_kernel_abi "$suite")")
	done
	userland=$(guest_userland)
	flock -u "$lock"
	for f in ptbenv ptbtool; do
		check_binary "$dynamic/$f" AArch64 || usage "not an AArch64 program needing libc alone: $1/$f"
		check_binary "$static/$f" AArch64 static || usage "not a static AArch64 program: $2/$f"
	done
	RUNDIR=$(mktemp -d)
	trap 'rm -rf "$RUNDIR"' EXIT
	PASSED=0 FAILED=0
	if [[ -n ${PTBENV_GUEST_BENCH:-} ]]; then
		BENCH_STATIC=$static
		boot bench "${abis[0]}" "$dynamic" "$userland"
		return 0
	fi
	for abi in "${abis[@]}"; do
		boot "$(kernel_series "$abi")/glibc-2.31" "$abi" "$dynamic" "$userland"
		boot "$(kernel_series "$abi")/static" "$abi" "$static"
	done
	echo "guest: $PASSED passed, $FAILED failed"
	((FAILED == 0))
}

main "$@"
