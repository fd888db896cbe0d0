#!/usr/bin/env bash
# Cross builds the tool, the simulated device and the tests for the device
# (AArch64) and runs every test under qemu-user, the end-to-end cases over
# the device's C library (glibc 2.31) and over Debian 12's; then builds the
# static binary (preset aarch64-static) and checks that it runs alone.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
. tests/expected.sh

need_packages g++-aarch64-linux-gnu libc6-dev-arm64-cross qemu-user googletest cmake ninja-build binutils
# The tests include the check that the tool, as the device will load it, is
# an AArch64 program needing glibc 2.17 or later, libc alone.
cmake --workflow --preset aarch64

# The static build: no program interpreter, no dynamic dependency, and it runs
# under qemu-user with no C library given at all.
cmake --workflow --preset aarch64-static
static=$(preset_dir aarch64-static)/ptbenv
check_binary "$static" AArch64 static
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
# This machine has no /dev/mtd2 (the output is compared without its last newline).
perror_lines musl
expect "" "${OPEN_ENOENT%$'\n'}" 1 sninfo
echo "$static: static, runs alone under qemu-aarch64"
