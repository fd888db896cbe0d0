#!/bin/sh
# The boot scripts' ptb_get of ptbenv(1)'s EXAMPLES and the README, run under
# busybox sh with ptbenv over the simulated device: it hands back what a
# factory wrote and fails on erased flash, an all-0xFF or all-zero address,
# a missing value and a missing device.
#
#   boot_snippet_test.sh SOURCE_DIR PTBENV PTBTOOL PRELOAD MTDSIM
#
# PRELOAD is the LD_PRELOAD list, holding the device's library MTDSIM.
set -eu
src=$1 ptbenv=$2 ptbtool=$3 preload=$4 mtdsim=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The function as printed: mdoc writes a backslash as \e.
sed -n '/^ptb_get() {$/,/^}$/p' "$src/man/ptbenv.1" | sed 's/\\e/\\/g' >"$work/ptb_get.sh"
sed -n '/^ptb_get() {$/,/^}$/p' "$src/README.md" >"$work/readme.sh"
[ -s "$work/ptb_get.sh" ] || { echo "FAIL: no ptb_get in man/ptbenv.1"; exit 1; }
cmp -s "$work/ptb_get.sh" "$work/readme.sh" || { echo "FAIL: README.md's ptb_get is not ptbenv.1's"; exit 1; }

# ptbenv on the PATH, the simulated device preloaded into it alone. The
# loader splits LD_PRELOAD at blanks and colons, which the build's path may
# hold: the device is preloaded through a link in the scratch folder.
mkdir "$work/bin"
ln -s "$mtdsim" "$work/libmtdsim.so"
preload=${preload%"$mtdsim"*}$work/libmtdsim.so${preload##*"$mtdsim"}
printf '#!/bin/sh\nLD_PRELOAD=%s exec "%s" "$@"\n' "$preload" "$ptbenv" >"$work/bin/ptbenv"
chmod +x "$work/bin/ptbenv"

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

failures=0
# expect IMAGE KEY STATUS OUTPUT: an empty IMAGE is a missing device.
expect() {
	for shell in "busybox sh" dash bash; do
		if out=$(
			if [ -n "$1" ]; then export MTDSIM_IMAGE="$work/$1"; else unset MTDSIM_IMAGE; fi
			PATH="$work/bin:$PATH" $shell -c '. "$1"; ptb_get "$2"' sh "$work/ptb_get.sh" "$2"
		); then status=0; else status=$?; fi
		if [ "$status" != "$3" ] || [ "$out" != "$4" ]; then
			echo "FAIL: $shell: ptb_get $2 over ${1:-no device}: status $status, output '$out'; expected $3, '$4'"
			failures=$((failures + 1))
		fi
	done
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
[ "$failures" -eq 0 ] || exit 1
echo "ptb_get under $(busybox | head -1 | cut -d' ' -f1,2), dash and bash: 16 cases passed"
