#!/usr/bin/env bash
# Cross builds the tool, the simulated device and the tests for the device
# (AArch64) and runs every test under qemu-user, the end-to-end cases over
# the device's C library (glibc 2.31) and over Debian 12's; then builds the
# static binary (preset aarch64-static) and checks that it runs alone.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need_packages g++-aarch64-linux-gnu libc6-dev-arm64-cross qemu-user googletest cmake ninja-build binutils file
cmake --preset aarch64 >/dev/null
cmake --build build-aarch64
ctest --test-dir build-aarch64 --output-on-failure

# is_aarch64 BINARY: fails unless BINARY is an AArch64 ELF; prints what file says.
is_aarch64() {
	local kind machine
	kind=$(file -bL "$1")
	machine=$(readelf -h "$1" | sed -n 's/^ *Machine: *//p')
	case $kind in
	"ELF 64-bit LSB "*", ARM aarch64,"*) ;;
	*) echo "$1 is no AArch64 ELF: $kind" >&2; return 1 ;;
	esac
	[ "$machine" = AArch64 ] || { echo "$1: readelf says machine $machine" >&2; return 1; }
	echo "$1: $kind"
}

# The tool itself, as the device will load it: glibc 2.17 or later, libc alone.
tool=build-aarch64/ptbenv
is_aarch64 "$tool"
cmake -DBINARY="$tool" -DGLIBC_BASELINE=2.17 -P tests/check_needed.cmake
echo "$tool: needs libc.so.6 alone, no symbol version above GLIBC_2.17"

# The static build: no program interpreter, no dynamic section, and it runs
# under qemu-user with no C library given at all.
cmake --preset aarch64-static >/dev/null
cmake --build build-aarch64-static
static=build-aarch64-static/ptbenv
is_aarch64 "$static"
if readelf -l "$static" | grep -q INTERP || readelf -d "$static" | grep -q NEEDED; then
	echo "$static is not linked statically" >&2
	exit 1
fi
expect() {
	local want_out=$1 want_err=$2 want_status=$3 out err status=0
	shift 3
	out=$(qemu-aarch64 "$static" "$@" 2>"$scratch/err") || status=$?
	err=$(cat "$scratch/err")
	if [[ $out != "$want_out" || $err != "$want_err" || $status != "$want_status" ]]; then
		echo "$static $*: got [$out] [$err] $status, expected [$want_out] [$want_err] $want_status" >&2
		return 1
	fi
}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
expect "" "" 0
expect "" "" 0 sninfo product
# This machine has no /dev/mtd2.
expect "" "open PTB: No such file or directory" 1 sninfo
echo "$static: static, runs alone under qemu-aarch64"
