#!/bin/sh
# The boot scripts' functions, run under busybox sh, dash and bash with the
# tools over the simulated device: ptb_get of ptbenv(1)'s EXAMPLES and the
# README, ptb_show of ptbtool(1)'s and the README, and ptbtool get and show
# --sh in their place. They hand back what a factory wrote and refuse erased
# flash, an address that is all zero or multicast, a flag stored as erased
# flash, a missing value and a missing device; what show --sh gives eval is
# what get prints, byte for byte. Then export's folder, read while replaced.
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
# Quotes, blanks, $, =, a backslash, and newlines make refuses, patched in:
# one inside sninfo, one ending cmdline.
"$ptbtool" make "$work/quoting.img" ethaddr=02:1a:2b:3c:4d:5e "product= it's \$HOME = \`id\` \\ \"q\" " "cmdline=x='1' y=\$(id)" sninfo=PT2 \
	appkey=0123456789abcdef0123456789abcdef qvauthcheck=1
patch quoting.img 3676 '\n3'
patch quoting.img 3284 '\n\000'

# sh_is_get KEY...: eval of show --sh sets each key's PTB_ variable to what get prints.
cat >"$work/sh_is_get.sh" <<'END'
sh_is_get() {
	eval "$(ptbtool show --sh /dev/mtd2)" || return 1
	for key in "$@"; do
		want=$(ptbtool get /dev/mtd2 "$key" && echo .) || return 1
		eval "got=\${PTB_$(echo "$key" | tr a-z A-Z)}"
		[ "$got
." = "$want" ] || { echo "$key: '$got', get: '$want'"; return 1; }
	done
}
END

failures=0 cases=0
# check IMAGE STATUS OUTPUT FUNCTION ARGS...: an empty IMAGE is a missing device.
check() {
	image=$1 want_status=$2 want=$3
	shift 3
	for shell in "busybox sh" dash bash; do
		if out=$(
			if [ -n "$image" ]; then export MTDSIM_IMAGE="$work/$image"; else unset MTDSIM_IMAGE; fi
			PATH="$work/bin:$PATH" $shell -c '. "$1"; . "$2"; . "$3"; shift 3; "$@"' sh \
				"$work/ptb_get.sh" "$work/ptb_show.sh" "$work/sh_is_get.sh" "$@"
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
# get KEY: status 0 for a value a factory writes and nothing else.
get() {
	check "$1" "$3" "$4" ptbtool get /dev/mtd2 "$2"
}
get good.img sninfo 0 PT2324A00117
get good.img ethaddr 0 02:1A:2B:3C:4D:5E
get good.img product 0 "GW-8 outdoor"
get quoting.img appkey 0 0123456789abcdef0123456789abcdef
get quoting.img qvauthcheck 0 1
get unset.img sninfo 0 ""
get unset.img ethaddr 1 ""
get unset.img qvkey 1 ""
get odd.img ethaddr 1 ""
get odd.img product 1 ""
get odd.img qvauthcheck 1 ""
get multicast.img ethaddr 1 ""
get erased.img sninfo 1 ""
get good.img nosuchkey 1 ""
get good.img qvhardreset 1 ""
get "" sninfo 1 ""
check good.img 2 "" ptbtool get /dev/mtd2
check good.img 2 "" ptbtool get /dev/mtd2 sninfo product
check quoting.img 0 "" sh_is_get product cmdline sninfo appkey qvauthcheck ethaddr
check good.img 0 "" sh_is_get sninfo ethaddr product
check odd.img 0 "PTB_SNINFO='PT2324A00117'" ptbtool show --sh /dev/mtd2 ethaddr product sninfo qvauthcheck
check "" 0 "ptbtool $(sed -n '1s/ .*//p' "$src/CHANGELOG")" ptbtool --version

# export: the files' modes and contents, and readers looping over the folder
# while it is replaced again and again, between two PTBs: a file read by its
# path is always there and whole; files read in the folder a reader went into
# are from one export, or gone once the old folder is removed, never a mix.
"$ptbtool" make "$work/other.img" sninfo=PT9 ethaddr=02:00:00:00:00:09 "product=GW-9 indoor"
if "$ptbtool" export "$work/good.img" "$work/run/ptb" 2>/dev/null || [ -e "$work/run" ]; then
	echo "FAIL: export made a missing parent folder"
	failures=$((failures + 1))
fi
echo kept >"$work/file"
if "$ptbtool" export "$work/good.img" "$work/file" 2>"$work/err" || [ "$(cat "$work/file")" != kept ] ||
	[ "$(cat "$work/err")" != "ptbtool: $work/file: not a folder, so not replaced by one" ]; then
	echo "FAIL: export over a file: $(cat "$work/err")"
	failures=$((failures + 1))
fi
# A parent folder its user may write to but not read: the export is done, and
# the folder's sync it can't open is a warning (root reads any folder, so as nobody).
shut=$(mktemp -d)
chmod 0755 "$shut"
cp "$ptbtool" "$shut/ptbtool"
cp "$work/good.img" "$shut/good.img"
chmod 0644 "$shut/good.img"
mkdir -m 0300 "$shut/run"
as_user=
if [ "$(id -u)" = 0 ]; then
	chown nobody "$shut/run"
	as_user="setpriv --reuid=nobody --regid=nogroup --clear-groups"
fi
if ! $as_user "$shut/ptbtool" export "$shut/good.img" "$shut/run/ptb" 2>"$work/err" ||
	[ "$(cat "$work/err")" != "ptbtool: warning: $shut/run/ptb: its folder not synced: Permission denied" ] ||
	[ "$(cat "$shut/run/ptb/sninfo")" != PT2324A00117 ]; then
	echo "FAIL: export into a folder it can't read: $(cat "$work/err")"
	failures=$((failures + 1))
fi
rm -rf "$shut"
mkdir "$work/run"
"$ptbtool" export "$work/quoting.img" "$work/run/ptb"
modes=$(cd "$work/run/ptb" && stat -c '%n %a' -- * | tr '\n' ' ')
[ "$modes" = "appeui 644 appkey 600 appskey 600 chipinfo 644 cmdline 644 devaddr 644 deveui 644 ethaddr 644 \
lorainfo 644 nwkskey 600 product 644 qvauthcheck 644 sninfo 644 wifiinfo 644 " ] &&
	[ "$(stat -c %a "$work/run/ptb")" = 755 ] ||
	{ echo "FAIL: export's modes: $modes"; failures=$((failures + 1)); }
for key in product cmdline sninfo appkey; do
	"$ptbtool" get "$work/quoting.img" "$key" | cmp -s - "$work/run/ptb/$key" ||
		{ echo "FAIL: export's $key is not get's"; failures=$((failures + 1)); }
done
"$ptbtool" export "$work/other.img" "$work/run/ptb"
(
	for _ in $(seq 40); do
		"$ptbtool" export "$work/good.img" "$work/run/ptb"
		"$ptbtool" export "$work/other.img" "$work/run/ptb"
	done
	touch "$work/exported"
) &
torn=0 whole=0
while ! [ -e "$work/exported" ]; do
	read_at=$(cat "$work/run/ptb/sninfo" 2>&1)
	case $read_at in PT2324A00117 | PT9) ;; *) torn=$((torn + 1)) && echo "torn: $read_at" ;; esac
	read_in=$(cd "$work/run/ptb" && cat sninfo product 2>&1 | tr '\n' /)
	case $read_in in
	"PT2324A00117/GW-8 outdoor/" | "PT9/GW-9 indoor/") whole=$((whole + 1)) ;;
	*"No such file"*) ;;
	*) torn=$((torn + 1)) && echo "torn: $read_in" ;;
	esac
done
wait
[ "$torn" -eq 0 ] && [ "$whole" -gt 0 ] && [ "$(ls "$work/run")" = ptb ] ||
	{ echo "FAIL: export: $torn reads torn, $(ls "$work/run") left"; failures=$((failures + 1)); }

[ "$failures" -eq 0 ] || exit 1
echo "ptb_get, ptb_show, get and show --sh under $(busybox | head -1 | cut -d' ' -f1,2), dash and bash: $cases cases passed"
