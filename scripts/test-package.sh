#!/usr/bin/env bash
# Builds the Debian packages for amd64 and arm64 (the cross build) twice, in
# two folders at two times, and checks that they are byte for byte the same,
# lintian-clean (no error, warning or hardening tag, -I) and hardened as the
# CHANGELOG says (hardening-check, the GNU property notes, the instructions);
# installs the amd64 ptbenv package into a scratch root and runs it over the
# simulated device, and checks the arm64 one's binary.
# ptbenv-tools is checked alongside whenever the build makes it; libptb1 and
# libptb-dev too, and the C example (examples/ptb_example.c) is built against
# the installed amd64 pair with pkg-config, shared and static, and with
# find_package(ptb), and run over the simulated device; the library's ABI is
# compared with the committed baseline (ptb/libptb.abi) by abidiff.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need_packages g++ gcc cmake ninja-build binutils file g++-aarch64-linux-gnu lintian devscripts pkg-config abigail-tools
build_host >/dev/null	# the simulated device, libmtdsim.so

failures=0
fail() {
	echo "FAIL: $*"
	failures=$((failures + 1))
}

# build_package DIR CONFIGURE-ARGS...: builds the packages in DIR.
build_package() {
	local dir=$1
	shift
	rm -rf "$dir"	# configured afresh: no flags cached from an older tree
	cmake "$@" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DPTBENV_TESTS=OFF >/dev/null
	cmake --build "$dir" --target package >/dev/null
}

# library_files PACKAGE ARCH: the files of libptb1 or libptb-dev, sorted.
library_files() {
	local lib=./usr/lib/x86_64-linux-gnu version
	version=$(sed -n '1s/ .*//p' CHANGELOG)
	[ "$2" != arm64 ] || lib=./usr/lib/aarch64-linux-gnu
	case $1 in
	libptb1) printf '%s\n' "$lib/libptb.so.1" "$lib/libptb.so.1.${version#*.}" ;;
	libptb-dev) printf '%s\n' ./usr/include/ptb.h "$lib/libptb.a" "$lib/libptb.so" "$lib/pkgconfig/ptb.pc" \
		"$lib"/cmake/ptb/ptb-{config,config-version,targets,targets-release}.cmake ./usr/share/man/man3/ptb.3.gz ;;
	esac
	printf './usr/share/doc/%s/changelog.gz\n./usr/share/doc/%s/copyright\n' "$1" "$1"
}

# check_package DEB ARCH: control fields and file list.
check_package() {
	local deb=$1 arch=$2 package field files programs depends='^libc6( \(>= [0-9.]+\))?$'
	package=$(dpkg-deb -f "$deb" Package)
	field=$(dpkg-deb -f "$deb" Architecture)
	[ "$field" = "$arch" ] || fail "$deb: Architecture is '$field', not $arch"
	[ "$package" != libptb-dev ] || depends="^libptb1 \\(= $(dpkg-deb -f "$deb" Version)\\)$"
	field=$(dpkg-deb -f "$deb" Depends)
	[[ $field =~ $depends ]] || fail "$deb: Depends is '$field', not $depends"
	for field in Version Maintainer Description Section; do
		[ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "$deb: no $field field"
	done
	files=$(dpkg-deb -c "$deb" | awk '$6 !~ /\/$/ { print $6 }' | sort)
	case $package in
	ptbenv) programs=ptbenv ;;
	ptbenv-tools) programs=ptbtool ;;
	libptb1 | libptb-dev)
		[ "$files" = "$(library_files "$package" "$arch" | sort)" ] || fail "$deb: holds other files: $files"
		return ;;
	*) fail "$deb: unknown package $package"; return ;;
	esac
	files=$(dpkg-deb -c "$deb" | awk '$NF !~ /\/$/ { print $NF }')
	[ "$files" = "$(printf './usr/bin/%s\n' $programs
		printf './usr/share/doc/%s/changelog.gz\n./usr/share/doc/%s/copyright\n' "$package" "$package"
		printf './usr/share/man/man1/%s.1.gz\n' $programs)" ] ||
		fail "$deb: holds other files than its programs, their manual pages and its documents: $files"
}

# check_lintian DEB: no error, warning or hardening tag, informational ones shown.
check_lintian() {
	local tags
	tags=$(lintian -I "$1" 2>&1 | grep -v '^running with root privileges' || true)
	[ -z "$tags" ] || echo "$tags"
	if grep -qE '^[EW]: |hardening-' <<<"$tags"; then
		fail "$1: lintian: $(grep -E '^[EW]: |hardening-' <<<"$tags" | paste -sd ' ')"
	fi
}

# The hardening words the CHANGELOG may use, each checked by carries(). A
# feature is what the packaged program carries; a compiler flag is checked in
# the program where it leaves a mark and in the package build's compile lines
# where it leaves none (a stack clash probe only where a frame needs one).
hardening_words='fortified|stack protector|position-independent executable|read-only relocations'
hardening_words+='|immediate binding|stack clash|return-address signing|cet|ibt|shadow stack|bti'
hardening_words+='|branch target identification|control-flow|control flow'
hardening_words+='|-fstack-clash-protection|-fcf-protection|-mbranch-protection'

# found PATTERN: whether standard input, read to its end, has a line matching PATTERN.
found() {
	[ "$(grep -cE -- "$1")" -gt 0 ]
}

# reports BINARY CHECK: whether hardening-check finds CHECK in BINARY (its
# status says whether all its checks did, so only its line is read).
reports() {
	[ "$(hardening-check "$1" 2>/dev/null | grep -c "^ $2: yes")" -gt 0 ]
}

# compiled_with BUILD TARGET FLAG: whether every compile line of TARGET in BUILD carries FLAG.
compiled_with() {
	local lines
	lines=$(ninja -C "$1" -t commands "$2" | grep -e ' -c ') || return 1
	! grep -qv -e " $3\( \|\$\)" <<<"$lines"
}

# carries FEATURE BINARY BUILD: whether BINARY, built in BUILD, carries FEATURE
# (one of $hardening_words, lower case); a feature of another architecture holds.
carries() {
	local feature=$1 binary=$2 build=$3 arch=x86-64 objdump=objdump
	if [[ $(file -b "$binary") == *aarch64* ]]; then
		arch=aarch64 objdump=aarch64-linux-gnu-objdump
	fi
	case $feature in
	fortified) reports "$binary" 'Fortify Source functions' ;;
	'stack protector') reports "$binary" 'Stack protected' ;;
	# A shared library is position-independent code by being one.
	'position-independent executable') [[ $binary == *.so.* ]] || reports "$binary" 'Position Independent Executable' ;;
	'read-only relocations') reports "$binary" 'Read-only relocations' ;;
	'immediate binding') reports "$binary" 'Immediate binding' ;;
	'stack clash') reports "$binary" 'Stack clash protection' ;;
	'return-address signing' | -mbranch-protection) [ $arch != aarch64 ] || $objdump -d "$binary" | found '\spaciasp' ;;
	-fcf-protection) [ $arch != x86-64 ] || $objdump -d "$binary" | found '\sendbr64' ;;
	-fstack-clash-protection) compiled_with "$build" "${binary##*/}" "$feature" ;;
	cet | ibt | 'shadow stack') [ $arch != x86-64 ] || readelf -n "$binary" | found 'x86 feature: IBT, SHSTK' ;;
	bti | 'branch target identification') [ $arch != aarch64 ] || readelf -n "$binary" | found 'AArch64 feature: BTI' ;;
	control-flow | 'control flow') readelf -n "$binary" | found 'x86 feature: IBT, SHSTK|AArch64 feature: BTI' ;;
	*) echo "no check for the hardening word '$feature'" >&2; return 1 ;;
	esac
}

# check_hardened FILE BUILD: what every packaged program and library carries, claimed or not.
check_hardened() {
	local feature
	for feature in fortified 'stack protector' 'position-independent executable' 'read-only relocations' \
		'immediate binding' 'return-address signing'; do
		carries "$feature" "$1" "$2" || fail "$1: no $feature"
	done
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The second build: the same checkout copied to another folder, built later.
mkdir "$scratch/other-tree"
tar --anchored --exclude='./build*' -cf - . | tar -xf - -C "$scratch/other-tree"

# build_twice DIR CONFIGURE-ARGS...: builds in DIR here and in the copy,
# compares and checks each package, and adds them to $packages.
packages=
build_twice() {
	local dir=$1 deb arch
	shift
	build_package "$dir" "$@" -S .
	sleep 1
	(cd "$scratch/other-tree" && build_package "$dir" "$@" -S .)
	[ "$(cd "$scratch/other-tree" && echo "$dir"/*.deb)" = "$(echo "$dir"/*.deb)" ] ||
		fail "$dir: the two builds made different packages"
	for deb in "$dir"/*.deb; do
		cmp "$deb" "$scratch/other-tree/$deb" || fail "$deb: two builds differ"
		arch=$(dpkg-deb -f "$deb" Architecture)
		check_package "$deb" "$arch"
		check_lintian "$deb"
		mkdir -p "$scratch/unpacked/$arch"
		dpkg -x "$deb" "$scratch/unpacked/$arch"
		packages+=" $deb"
	done
}

build_twice build-pkg -G Ninja
build_twice build-pkg-arm64 --preset aarch64
echo "built twice, compared and checked:$packages"

# Every hardening feature an entry of the CHANGELOG names, in every program it applies to.
claims=$(tr -s '\n ' ' ' <CHANGELOG | grep -oiwE -- "$hardening_words" | tr '[:upper:]' '[:lower:]' | sort -u || true)
for binary in "$scratch"/unpacked/*/usr/bin/* "$scratch"/unpacked/*/usr/lib/*/libptb.so.1.*; do
	build=build-pkg
	[[ $binary != */arm64/* ]] || build=build-pkg-arm64
	check_hardened "$binary" "$build"
	while IFS= read -r claim; do
		[ -z "$claim" ] || carries "$claim" "$binary" "$build" ||
			fail "$binary: CHANGELOG claims $claim, which the program does not carry"
	done <<<"$claims"
	[[ $binary != *.so.* ]] || continue
	version=$(strings "$binary" | sed -n 's/^@(#)[a-z]* //p')
	[ "$version" = "$(sed -n '1s/ .*//p' CHANGELOG)" ] || fail "$binary: version string '$version'"
done
# No build path in the unstripped programs either.
for tree in "$PWD" "$scratch/other-tree"; do
	for binary in "$tree"/build-pkg*/ptbenv "$tree"/build-pkg*/ptbtool; do
		[ -e "$binary" ] || continue
		! grep -q "$tree" "$binary" || fail "$binary holds the build path $tree"
	done
done

# A distribution's build: its flags reach every compile and link line of the
# shipped code and win over the project's defaults (configured, not built).
CXXFLAGS="-O2 -D_FORTIFY_SOURCE=3" LDFLAGS="-Wl,-z,lazy" cmake -S . -B "$scratch/distro" -G Ninja \
	-DCMAKE_BUILD_TYPE=None -DPTBENV_TESTS=OFF >/dev/null
while read -r line; do
	[[ $line == *" -O2 "* && $line == *"_FORTIFY_SOURCE=3"* ]] || fail "distribution flags missing: $line"
	[[ $line != *" -Os "* && $line != *"_FORTIFY_SOURCE=2"* && $line != *"-z,now"* ]] ||
		fail "the project's defaults override the distribution's: $line"
	[[ $line != *" -o ptbenv "* || $line == *"-z,lazy"* ]] || fail "LDFLAGS missing: $line"
done < <(ninja -C "$scratch/distro" -t commands ptbenv | grep -E ' -c | -o ptbenv ')

# The amd64 ptbenv package, installed into a scratch root and run over the sample image.
dpkg -x build-pkg/ptbenv_*_amd64.deb "$scratch/root"
installed=$scratch/root/usr/bin/ptbenv
check_binary "$installed" X86-64 || fail "$installed: not an x86-64 program needing libc alone"
device=$(preload_path "$HOST_BUILD/tests/libmtdsim.so" "$scratch")

# run_installed BAD-BLOCKS KEY: runs the installed tool, output in $scratch/out, err.
run_installed() {
	local status=0
	MTDSIM_IMAGE=$PWD/examples/sample-ptb.img MTDSIM_ERASESIZE=4096 MTDSIM_BAD=$1 \
		LD_PRELOAD=$device \
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

. tests/expected.sh
unsupported nosuchkey nosuchkey
# Every block of the 40 KiB sample bad: each is skipped, none is good.
bad_blocks skipped $(seq 0 4096 36864)
expect "" sninfo 0 $'sninfo:PT2324A00117\n' ''
expect "" ethaddr 0 $'ethaddr:02:1A:2B:3C:4D:5E\n' ''
expect "" nosuchkey 0 "$nosuchkey" ''
expect 0,1,2,3,4,5,6,7,8,9 sninfo 0 "$READ_FAILED" "$skipped$NO_GOOD_BLOCK"

# The C example against the installed amd64 libptb1 and libptb-dev, built
# with pkg-config and with find_package(ptb), each linked shared and static:
# every one prints every value as the installed ptbenv does.
for deb in build-pkg/libptb1_*_amd64.deb build-pkg/libptb-dev_*_amd64.deb; do
	dpkg -x "$deb" "$scratch/root"
done
libdir=$scratch/root/usr/lib/x86_64-linux-gnu
keys=$(awk '$1 == "ptb_field" { print $2 }' "$HOST_BUILD/tests/ptb_layout.sh")
: >"$scratch/every-value"
for key in $keys; do
	run_installed "" "$key" >/dev/null
	cat "$scratch/out" >>"$scratch/every-value"
done
[ "$(wc -l <"$scratch/every-value")" -gt 10 ] || fail "ptbenv printed too few values to compare with: $keys"

pkg() {
	PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config "$@"
}
gcc -std=c99 -Wall -Wextra -Werror -o "$scratch/example-pc-shared" examples/ptb_example.c $(pkg --cflags --libs ptb)
gcc -std=c99 -Wall -Wextra -Werror -o "$scratch/example-pc-static" examples/ptb_example.c $(pkg --cflags ptb) \
	-Wl,-Bstatic $(pkg --static --libs ptb) -Wl,-Bdynamic
cmake -S tests/package -B "$scratch/example" -G Ninja -DCMAKE_PREFIX_PATH="$scratch/root/usr" >/dev/null
cmake --build "$scratch/example" >/dev/null
for example in "$scratch"/example-pc-{shared,static} "$scratch"/example/example_{shared,static}; do
	if [[ $example == *static ]]; then
		check_binary "$example" X86-64 || fail "$example: needs more than libc"
	else
		readelf -d "$example" | grep -q 'NEEDED.*\[libptb\.so\.1\]' || fail "$example: does not need libptb.so.1"
	fi
	MTDSIM_IMAGE=$PWD/examples/sample-ptb.img MTDSIM_ERASESIZE=4096 LD_PRELOAD=$device LD_LIBRARY_PATH=$libdir \
		"$example" $keys >"$scratch/out" 2>"$scratch/err" || fail "$example: status $?"
	cmp -s "$scratch/out" "$scratch/every-value" || fail "$example: prints other values than ptbenv: $(head -3 "$scratch/out")"
	[ ! -s "$scratch/err" ] || fail "$example: $(cat "$scratch/err")"
done
readelf -d "$libdir"/libptb.so.1 | grep -q 'SONAME.*\[libptb\.so\.1\]' || fail "libptb.so.1: no SONAME libptb.so.1"
check_binary "$libdir"/libptb.so.1 X86-64 || fail "libptb.so.1: needs more than libc"

# The library's ABI against the baseline, from a build with debugging
# information, the public header alone telling its types. After a
# deliberate change of the ABI the baseline is made anew with
#   abidw --headers-dir include --no-corpus-path --out-file ptb/libptb.abi BUILD/libptb.so.1
cmake -S . -B "$scratch/abi" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g -DPTBENV_TESTS=OFF >/dev/null
cmake --build "$scratch/abi" --target ptb_shared >/dev/null
abidiff --headers-dir2 include ptb/libptb.abi "$scratch/abi/libptb.so.1" >"$scratch/abidiff" ||
	fail "libptb.so.1: the ABI differs from ptb/libptb.abi: $(cat "$scratch/abidiff")"

# The arm64 package: its binary is for the device.
dpkg -x build-pkg-arm64/ptbenv_*_arm64.deb "$scratch/arm64"
check_binary "$scratch/arm64/usr/bin/ptbenv" AArch64 2.17 ||
	fail "$scratch/arm64/usr/bin/ptbenv: not an AArch64 program needing libc alone, from glibc 2.17 on"
check_binary "$scratch/unpacked/arm64/usr/lib/aarch64-linux-gnu/libptb.so.1" AArch64 2.17 ||
	fail "arm64 libptb.so.1: not an AArch64 library needing libc alone, from glibc 2.17 on"

if [ "$failures" -ne 0 ]; then
	echo "$failures package check(s) failed"
	exit 1
fi
echo "packages: reproducible, lintian-clean and hardened as claimed ($(paste -sd, <<<"$claims" | sed 's/,/, /g')); amd64 installs and runs, arm64 is an AArch64 package depending on libc6 alone; the C example builds against libptb-dev shared and static and prints what ptbenv prints; the ABI is the baseline's"
