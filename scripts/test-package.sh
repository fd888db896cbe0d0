#!/usr/bin/env bash
# Builds the Debian packages for amd64 and arm64 (the cross build), installs the
# amd64 one into a scratch root and runs it over the simulated device, and
# checks the arm64 one's control fields, contents and binary.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need_packages g++ cmake ninja-build binutils file g++-aarch64-linux-gnu
build_host >/dev/null	# the simulated device, libmtdsim.so

failures=0
fail() {
	echo "FAIL: $*"
	failures=$((failures + 1))
}

# build_package DIR CONFIGURE-ARGS...: prints the path of the .deb it built.
build_package() {
	local dir=$1
	shift
	cmake "$@" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DPTBENV_TESTS=OFF >/dev/null
	rm -f "$dir"/ptbenv_*.deb
	cmake --build "$dir" --target package >/dev/null
	ls "$dir"/ptbenv_*.deb
}

# check_package DEB ARCH: control fields and file list.
check_package() {
	local deb=$1 arch=$2 field files
	field=$(dpkg-deb -f "$deb" Architecture)
	[ "$field" = "$arch" ] || fail "$deb: Architecture is '$field', not $arch"
	field=$(dpkg-deb -f "$deb" Depends)
	[[ $field =~ ^libc6(\ \(\>=\ [0-9.]+\))?$ ]] || fail "$deb: Depends is '$field', not libc6 alone"
	for field in Package Version Maintainer Description Section; do
		[ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "$deb: no $field field"
	done
	files=$(dpkg-deb -c "$deb" | awk '$NF !~ /\/$/ { print $NF }')
	[ "$files" = "$(printf './usr/bin/ptbenv\n./usr/share/man/man1/ptbenv.1')" ] ||
		fail "$deb: holds other files than the tool and its manual page: $files"
}

# check_binary FILE FILE-PATTERN: architecture, and the C library as the only NEEDED entry.
check_binary() {
	local binary=$1 pattern=$2 described needed
	described=$(file -b "$binary")
	[[ $described == $pattern ]] || fail "$binary is '$described'"
	needed=$(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
	[ "$needed" = libc.so.6 ] || fail "$binary needs: $needed"
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

amd64=$(build_package build-pkg -S . -G Ninja)
arm64=$(build_package build-pkg-arm64 --preset aarch64)
echo "built $amd64 and $arm64"

check_package "$amd64" amd64
check_package "$arm64" arm64

# The amd64 package, installed into a scratch root and run over the sample image.
dpkg -x "$amd64" "$scratch/root"
installed=$scratch/root/usr/bin/ptbenv
check_binary "$installed" "ELF 64-bit LSB *x86-64*"
[ -s "$scratch/root/usr/share/man/man1/ptbenv.1" ] || fail "no manual page installed"

# run_installed BAD-BLOCKS KEY: runs the installed tool, output in $scratch/out, err.
run_installed() {
	local status=0
	MTDSIM_IMAGE=$PWD/examples/sample-ptb.img MTDSIM_ERASESIZE=4096 MTDSIM_BAD=$1 \
		LD_PRELOAD=$PWD/$HOST_BUILD/tests/libmtdsim.so \
		"$installed" "$2" >"$scratch/out" 2>"$scratch/err" || status=$?
	echo "$status"
}

# expect BAD-BLOCKS KEY STATUS STDOUT STDERR: compared byte for byte.
expect() {
	local status
	status=$(run_installed "$1" "$2")
	[ "$status" = "$3" ] || fail "ptbenv $2 (bad: '$1'): status $status, expected $3"
	cmp -s "$scratch/out" <(printf '%s' "$4") || fail "ptbenv $2 (bad: '$1'): standard output: $(od -c "$scratch/out" | head -3)"
	cmp -s "$scratch/err" <(printf '%s' "$5") || fail "ptbenv $2 (bad: '$1'): standard error: $(od -c "$scratch/err" | head -3)"
}

expect "" sninfo 0 $'sninfo:PT2324A00117\n' ''
expect "" ethaddr 0 $'ethaddr:02:1A:2B:3C:4D:5E\n' ''
expect "" nosuchkey 0 $'\n====[nosuchkey] env not supported. \n' ''
all_bad= skipped=
for block in 0 1 2 3 4 5 6 7 8 9; do
	all_bad+=${all_bad:+,}$block
	skipped+=$(printf 'Bad block at %x, from %x will be skipped' $((block * 4096)) $((block * 4096)))$'\n'
done
expect "$all_bad" sninfo 0 $'\n ===== zarn read env failed.\n' "$skipped"$'Can\'t find good block in PTB.\n'

# The arm64 package: its binary is for the device.
dpkg -x "$arm64" "$scratch/arm64"
check_binary "$scratch/arm64/usr/bin/ptbenv" "ELF 64-bit LSB *ARM aarch64*"

if [ "$failures" -ne 0 ]; then
	echo "$failures package check(s) failed"
	exit 1
fi
echo "packages: amd64 installs and runs, arm64 is an AArch64 package depending on libc6 alone"
