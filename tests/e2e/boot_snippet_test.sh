#!/bin/sh
# The boot scripts' functions, run under busybox sh, dash and bash with the
# tools over the simulated device: ptb_get of ptbenv(1)'s EXAMPLES and the
# README, and ptb_show of ptbtool(1)'s and the README. They hand back what a
# factory wrote and refuse erased flash, an address that is all zero or
# multicast, a flag stored as erased flash, a missing value and a missing device.
#
#   boot_snippet_test.sh SOURCE_DIR PTBENV PTBTOOL PRELOAD MTDSIM
#
# PRELOAD is the LD_PRELOAD list, holding the device's library MTDSIM.
set -eu
src=$1 ptbenv=$2 ptbtool=$3 preload=$4 mtdsim=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# extract FUNCTION PAGE: the function as the manual page prints it (mdoc
# writes a backslash as \e), which must be the README's.
extract() {
	sed -n "/^$1() {\$/,/^}\$/p" "$src/man/$2" | sed 's/\\e/\\/g' >"$work/$1.sh"
	sed -n "/^$1() {\$/,/^}\$/p" "$src/README.md" >"$work/readme.sh"
	[ -s "$work/$1.sh" ] || { echo "FAIL: no $1 in man/$2"; exit 1; }
	cmp -s "$work/$1.sh" "$work/readme.sh" || { echo "FAIL: README.md's $1 is not $2's"; exit 1; }
}
extract ptb_get ptbenv.1
extract ptb_show ptbtool.1

# ptbenv on the PATH, the simulated device preloaded into it alone. The
# loader splits LD_PRELOAD at blanks and colons, which the build's path may
# hold: the device is preloaded through a link in the scratch folder.
mkdir "$work/bin"
ln -s "$mtdsim" "$work/libmtdsim.so"
preload=${preload%"$mtdsim"*}$work/libmtdsim.so${preload##*"$mtdsim"}
printf '#!/bin/sh\nLD_PRELOAD=%s exec "%s" "$@"\n' "$preload" "$ptbenv" >"$work/bin/ptbenv"
printf '#!/bin/sh\nLD_PRELOAD=%s exec "%s" "$@"\n' "$preload" "$ptbtool" >"$work/bin/ptbtool"
chmod +x "$work/bin/ptbenv" "$work/bin/ptbtool"

"$ptbtool" make "$work/good.img" sninfo=PT2324A00117 ethaddr=02:1a:2b:3c:4d:5e "product=GW-8 outdoor"
"$ptbtool" make "$work/unset.img"
# What make refuses to write, patched in at the fields' offsets: an erased
# address and flag, erased flash in a value, a multicast address.
patch() {
	# shellcheck disable=SC2059 # the bytes are a format
	printf "$3" | dd of="$work/$1" bs=1 seek="$2" conv=notrunc status=none
}
"$ptbtool" make "$work/odd.img" sninfo=PT2324A00117 product=GW
patch odd.img 2028 '\377\377\377\377\377\377'
patch odd.img 3849 '\377'
patch odd.img 3613 '\377\377\0'
"$ptbtool" make "$work/multicast.img" ethaddr=02:1a:2b:3c:4d:5e
patch multicast.img 2028 '\003'
head -c 40960 /dev/zero | tr '\000' '\377' >"$work/erased.img"

failures=0 cases=0
# check IMAGE STATUS OUTPUT FUNCTION ARGS...: an empty IMAGE is a missing device.
check() {
	image=$1 want_status=$2 want=$3
	shift 3
	for shell in "busybox sh" dash bash; do
		if out=$(
			if [ -n "$image" ]; then export MTDSIM_IMAGE="$work/$image"; else unset MTDSIM_IMAGE; fi
			PATH="$work/bin:$PATH" $shell -c '. "$1"; . "$2"; shift 2; "$@"' sh \
				"$work/ptb_get.sh" "$work/ptb_show.sh" "$@"
		); then status=0; else status=$?; fi
		if [ "$status" != "$want_status" ] || [ "$out" != "$want" ]; then
			echo "FAIL: $shell: $* over ${image:-no device}: status $status, output '$out'; expected $want_status, '$want'"
			failures=$((failures + 1))
		fi
	done
	cases=$((cases + 1))
}

# expect IMAGE KEY STATUS OUTPUT: ptb_get KEY.
expect() {
	check "$1" "$3" "$4" ptb_get "$2"
}

expect good.img sninfo 0 PT2324A00117
expect good.img ethaddr 0 02:1A:2B:3C:4D:5E
expect good.img product 0 "GW-8 outdoor"
expect unset.img sninfo 0 ""
expect unset.img ethaddr 1 ""
expect odd.img ethaddr 1 ""
expect odd.img product 1 ""
expect odd.img sninfo 0 PT2324A00117
expect odd.img qvauthcheck 1 ""
expect multicast.img ethaddr 1 ""
expect erased.img sninfo 1 ""
expect erased.img ethaddr 1 ""
expect good.img nosuchkey 1 ""
expect good.img qvhardreset 1 ""
expect "" sninfo 1 ""
check good.img 0 "sninfo:PT2324A00117
ethaddr:02:1A:2B:3C:4D:5E
product:GW-8 outdoor" ptb_show sninfo ethaddr product
check odd.img 0 "sninfo:PT2324A00117" ptb_show ethaddr product sninfo qvauthcheck
check multicast.img 0 "" ptb_show ethaddr
check erased.img 0 "" ptb_show
check good.img 1 "" ptb_show nosuchkey
check "" 1 "" ptb_show sninfo
[ "$failures" -eq 0 ] || exit 1
echo "ptb_get and ptb_show under $(busybox | head -1 | cut -d' ' -f1,2), dash and bash: $cases cases passed"
