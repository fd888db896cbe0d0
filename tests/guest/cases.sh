# Sourced by run.sh: the guest cases. Each group sets up /dev/mtd2 in the guest
# (guest ...), then lists cases (expect NAME STATUS STDOUT STDERR ARGS... for
# ptbenv, expect_run with the command first for ptbtool and the rest).
# Expected output is spelt out here and in tests/expected.sh, not taken from
# the tool, so it checks the tool; the keys, their offsets and kinds are the
# fixture's (read_layout).
# GUEST_LIBC (glibc, musl) names the C library of the binary under test;
# GUEST_TOOLS is set when the guest has a C library and the flash tools.

source "$(dirname "${BASH_SOURCE[0]}")/../expected.sh"

# What the image every "all keys" group writes holds, for every key of the
# layout that has a value; written as the tool shows it (the address in
# capitals, the digit below 10), so that each key shows "key:value".
declare -A FULL_VALUES=(
	[chipinfo]="NS-16 NAND rev B" [lorainfo]="SX1302 868M" [wifiinfo]=AP6212
	[product]="Gateway 8-channel outdoor" [sninfo]=GW2311-004217
	[deveui]=00800000A0001234 [appeui]=70B3D57ED0001B2C [devaddr]=26011F0A
	[appkey]=2B7E151628AED2A6ABF7158809CF4F3C
	[appskey]=3C4FCF098815F7ABA6D2AE2816157E2B
	[nwkskey]=0123456789ABCDEF0123456789ABCDEF
	[cmdline]="console=ttyS0,115200 root=/dev/mtdblock3 rootfstype=squashfs"
	[ethaddr]=A0:1B:C2:3D:E4:5F [qvauthcheck]=7
	[qvkey]=k3Y9w2Lq8Zr4Tn6Vb1Xc5Md7Hs0Jf2Gp
	[qvran]=r8Q2m5N7b4V1c9X3z6L0k2J8h5G1f4Dw
)
# A key the layout lacks: the tool tells keys apart by case.
UNKNOWN_KEY=CHIPINFO

# The fixture's layout (read_layout): its keys in the tool's lookup order,
# each key's offset and kind, the fields of the full image and what each
# key shows from it.
LAYOUT_KEYS=() FULL_FIELDS=()
declare -A OFFSET=() KIND=() FULL_SHOWN=()

ptb_field() {
	LAYOUT_KEYS+=("$1")
	OFFSET[$1]=$2 KIND[$1]=$4
}

# read_layout FILE: reads the layout the host build made from the fixture
# (ptb_layout.sh); fails for a key without a value in FULL_VALUES and for a
# value of a key the layout lacks.
read_layout() {
	local key missing=0
	source "$1" || return 1
	for key in "${LAYOUT_KEYS[@]}"; do
		if [[ ${KIND[$key]} == no_value ]]; then
			FULL_SHOWN[$key]=
		elif [[ -v FULL_VALUES[$key] ]]; then
			FULL_FIELDS+=("$key=${FULL_VALUES[$key]}")
			FULL_SHOWN[$key]="$key:${FULL_VALUES[$key]}"$'\n'
		else
			echo "FAIL guest: $key of the layout has no value for the full image in cases.sh"
			missing=1
		fi
	done
	for key in "${!FULL_VALUES[@]}"; do
		[[ -v KIND[$key] ]] && continue
		echo "FAIL guest: cases.sh has a value for $key, which the layout lacks"
		missing=1
	done
	[[ ! -v KIND[$UNKNOWN_KEY] ]] || { echo "FAIL guest: the layout has $UNKNOWN_KEY"; missing=1; }
	return $missing
}

# every_key GROUP STDERR: every key of the layout and the unknown one, each
# with the same stderr.
every_key() {
	local key unknown
	for key in "${LAYOUT_KEYS[@]}"; do
		expect "$1: $key" 0 "${FULL_SHOWN[$key]}" "$2" "$key"
	done
	unsupported unknown "$UNKNOWN_KEY"
	expect "$1: $UNKNOWN_KEY" 0 "$unknown" "$2" "$UNKNOWN_KEY"
}

# every_key_fails GROUP STDERR: every key of the layout and the unknown one
# give the read-failure notice, with the same stderr: the read comes first.
every_key_fails() {
	local key
	for key in "${LAYOUT_KEYS[@]}" "$UNKNOWN_KEY"; do
		expect "$1: $key" 0 "$READ_FAILED" "$2" "$key"
	done
}

# shows_all GROUP STDERR: ptbtool show prints in one process, through mtd2 and
# its read-only node, what ptbenv prints for each key of the full image.
shows_all() {
	local key all= node
	for key in "${LAYOUT_KEYS[@]}"; do
		all+=${FULL_SHOWN[$key]}
	done
	for node in /dev/mtd2 /dev/mtd2ro; do
		expect_run "$1: ptbtool show $node" 0 "$all" "$2" /ptbtool show "$node"
	done
}

# first_of KIND: the layout's first key of that kind.
first_of() {
	local key
	for key in "${LAYOUT_KEYS[@]}"; do
		[[ ${KIND[$key]} == "$1" ]] && { echo "$key"; return 0; }
	done
	return 1
}

# nandsim ID bytes for 16 KiB, 8 KiB and 128 KiB erase blocks.
NAND_16K="first_id_byte=0xec second_id_byte=0x73"
NAND_8K="first_id_byte=0xec second_id_byte=0xe6"
NAND_128K="first_id_byte=0xec second_id_byte=0xf1 third_id_byte=0x00 fourth_id_byte=0x15"
# The 128 KiB chip's pages: 2048 bytes and 64 of OOB (where the ECC bytes
# are), 64 pages to a block; its ECC corrects one bitflip in each 256-byte
# step of a page and finds two.
NAND_128K_PAGE=2048 NAND_128K_OOB=64 NAND_128K_PAGES=64 NAND_STEP=256

# chip_page PARTS PAGES_PER_BLOCK PAGE: the chip's number of mtd2's page PAGE,
# for nandsim's gravepages=, when its parts= is PARTS (the erase blocks of
# mtd0, mtd1, ...: mtd2 starts after the first two).
chip_page() {
	local parts
	IFS=, read -r -a parts <<<"$1"
	echo $(((parts[0] + parts[1]) * $2 + $3))
}

# chip_block PARTS BLOCK: the chip's number of mtd2's erase block BLOCK, for
# nandsim's badblocks= and weakblocks=.
chip_block() {
	chip_page "$1" 1 "$2"
}

define_cases() {
	perror_lines "$GUEST_LIBC"
	image full.img "${FULL_FIELDS[@]}"
	bad_block_cases
	erased_cases
	other_nand_cases
	mtdram_cases
	grave_page_cases
	ecc_cases
	factory_cases
	writer_cases
	writer_fault_cases
	writer_mtdram_cases
	device_cases
}

# 16 KiB blocks. parts= counts erase blocks and badblocks= counts from the
# chip's start, so with parts=4,4 chip blocks 8 and 9 are mtd2's blocks 0, 1.
bad_block_cases() {
	local bad_0_4000 all_bad empty_key given
	bad_blocks bad_0_4000 0 0x4000
	guest nandsim $NAND_16K parts=4,4 badblocks=8,9
	guest put full.img 16384 2
	every_key nandsim-16k-badblocks "$bad_0_4000"
	unsupported empty_key ""
	expect "nandsim-16k-badblocks: empty key" 0 "$empty_key" "$bad_0_4000" ""
	# Any argument count but one: silent, and the device is not even opened.
	expect "nandsim-16k-badblocks: no arguments" 0 "" ""
	expect "nandsim-16k-badblocks: two arguments" 0 "" "" chipinfo sninfo
	# One block walk for all the keys asked: the bad blocks said once.
	shows_all nandsim-16k-badblocks "$bad_0_4000"
	# libptb, from its C example: one read, every value as ptbenv prints it, nothing said.
	if [[ -n $GUEST_TOOLS ]]; then
		local key all=
		for key in "${LAYOUT_KEYS[@]}"; do
			all+=${FULL_SHOWN[$key]}
		done
		expect_run "nandsim-16k-badblocks: libptb example" 0 "$all" "" /ptb_example "${LAYOUT_KEYS[@]}"
	fi
	expect_run "nandsim-16k-badblocks: ptbtool show three keys" 0 \
		"${FULL_SHOWN[sninfo]}${FULL_SHOWN[qvhardreset]}${FULL_SHOWN[ethaddr]}" "$bad_0_4000" \
		/ptbtool show /dev/mtd2 sninfo qvhardreset ethaddr
	device_geometry_given given /dev/mtd2
	expect_run "nandsim-16k-badblocks: ptbtool show --erasesize" 1 "" "$given" \
		/ptbtool show --erasesize 16384 /dev/mtd2
	guest unload

	# A 5-block partition holds the 40960 bytes read from block 2; 4 don't.
	guest nandsim $NAND_16K parts=4,4,5 badblocks=8,9
	guest put full.img 16384 2
	expect "nandsim-16k-fits-from-block-2: sninfo" 0 "${FULL_SHOWN[sninfo]}" "$bad_0_4000" sninfo
	guest unload
	guest nandsim $NAND_16K parts=4,4,4 badblocks=8,9
	guest put full.img 16384 2
	expect "nandsim-16k-short-after-block-2: sninfo" 0 "$READ_FAILED" \
		"$bad_0_4000$PREAD_EIO" sninfo
	guest unload

	guest nandsim $NAND_16K parts=4,4,3 badblocks=8,9,10
	bad_blocks all_bad 0 0x4000 0x8000
	all_bad+=$NO_GOOD_BLOCK
	expect "nandsim-16k-all-bad: sninfo" 0 "$READ_FAILED" "$all_bad" sninfo
	expect "nandsim-16k-all-bad: qvhardreset" 0 "$READ_FAILED" "$all_bad" qvhardreset
	guest unload
}

# 128 KiB blocks, where the whole block is read, and 8 KiB blocks.
other_nand_cases() {
	local bad_0
	guest nandsim $NAND_128K parts=2,2
	guest put full.img 131072 0
	every_key nandsim-128k ""
	shows_all nandsim-128k ""
	guest unload
	# A partition of one 128 KiB block: the whole block is read, nothing past it.
	guest nandsim $NAND_128K parts=2,2,1
	guest put full.img 131072 0
	expect "nandsim-128k-one-block-partition: product" 0 "${FULL_SHOWN[product]}" "" product
	guest unload

	guest nandsim $NAND_8K parts=4,4 badblocks=8
	guest put full.img 8192 1
	bad_blocks bad_0 0
	expect "nandsim-8k-badblock: chipinfo" 0 "${FULL_SHOWN[chipinfo]}" "$bad_0" chipinfo
	guest unload
}

# Freshly loaded flash is erased: every byte reads 0xFF. One key of each kind,
# shown as that kind shows 0xFF bytes: text up to the tool's 1024 bytes.
erased_cases() {
	local ff kind key
	local -A shown
	ff=$(printf '\xff%.0s' {1..1024})
	shown=([text]="$ff" [long_text]="$ff" [mac]=FF:FF:FF:FF:FF:FF [digit]=/)
	guest nandsim $NAND_16K parts=4,4
	for kind in text long_text mac digit no_value; do
		key=$(first_of "$kind") || continue
		if [[ $kind == no_value ]]; then
			expect "nandsim-16k-erased: $key" 0 "" "" "$key"
		else
			expect "nandsim-16k-erased: $key" 0 "$key:${shown[$kind]}"$'\n' "" "$key"
		fi
	done
	guest unload
}

# mtdram gives 4 KiB blocks, which nandsim refuses; a one-block nandsim takes
# mtd0 and mtd1 so that mtdram becomes mtd2.
mtdram_cases() {
	local key
	guest nandsim parts=1
	guest mtdram 256 4
	guest put full.img 4096 0
	every_key mtdram-4k ""
	# ptbtool make refuses long text of 31 characters; ptbenv prints nothing for one.
	for key in "${LAYOUT_KEYS[@]}"; do
		[[ ${KIND[$key]} == long_text ]] || continue
		patched "short-$key.img" full.img $((OFFSET[$key] + 31)) '\0'
		guest put "short-$key.img" 4096 0
		expect "mtdram-4k: $key of 31 characters" 0 "" "" "$key"
	done
	guest unload
	guest nandsim parts=1
	guest mtdram 40 4
	guest put full.img 4096 0
	expect "mtdram-4k-exactly-40k: appkey" 0 "${FULL_SHOWN[appkey]}" "" appkey
	guest unload
	guest nandsim parts=1
	guest mtdram 36 4
	guest put full.img 4096 0
	expect "mtdram-4k-only-36k: appkey" 0 "$READ_FAILED" "$PREAD_EIO" appkey
	guest unload
}

# Grave pages (nandsim's gravepages=PAGE:READS, here from the first read on)
# read back random bytes, and the ECC fails on each step of the page but now
# and then one whose random bytes pass for a bitflip it corrected (about one
# read of the page in 250). ptbenv's output does not hang on the count;
# ptbtool's does, so ecc_cases checks it where it is the same every read.
grave_page_cases() {
	local page
	# mtd2's page 1 holds chipinfo to nwkskey: the read fails, twice.
	page=$(chip_page 2,2 $NAND_128K_PAGES 1)
	guest nandsim $NAND_128K parts=2,2 gravepages=$page:0
	guest put full.img 131072 0
	every_key_fails nandsim-128k-grave-values "$PREAD_EBADMSG"
	guest unload
	# The first page wholly past the values: the values' bytes read again clean.
	page=$(chip_page 2,2 $NAND_128K_PAGES $(((VALUES_END + NAND_128K_PAGE - 1) / NAND_128K_PAGE)))
	guest nandsim $NAND_128K parts=2,2 gravepages=$page:0
	guest put full.img 131072 0
	every_key nandsim-128k-grave-past-values ""
	guest unload
}

# ecc_faults FLIP...: mtd2's first block as put there (block.raw), written
# again with each FLIP (BYTE:MASK) behind the ECC's back: the bits of MASK
# flipped in byte BYTE of the block. One bit in an ECC step is a bitflip the
# ECC corrects, two it finds and can't correct: the same count every read.
ecc_faults() {
	local flip byte
	guest step cp /tmp/block.raw /tmp/faults.raw
	for flip; do
		byte=${flip%:*}
		guest flip /tmp/faults.raw \
			$((byte / NAND_128K_PAGE * (NAND_128K_PAGE + NAND_128K_OOB) + byte % NAND_128K_PAGE)) "${flip#*:}"
	done
	guest raw_put /tmp/faults.raw
}

# What the ECC corrected or could not, on 128 KiB blocks, as nanddump and
# nandwrite of the flash tools read and write raw pages.
ecc_cases() {
	[[ -n ${GUEST_TOOLS:-} ]] || return 0
	local page1=$NAND_128K_PAGE page3=$((3 * NAND_128K_PAGE)) page9=$((9 * NAND_128K_PAGE))
	local sninfo=$((OFFSET[sninfo])) failed corrected
	guest nandsim $NAND_128K parts=2,2
	guest put full.img 131072 0
	guest raw_get /tmp/block.raw 131072

	# Three steps of page 1, where the values are, fail in both reads; one of
	# page 3 in the first only: ptbtool counts the values' three.
	ecc_faults $page1:3 $((page1 + 3 * NAND_STEP)):0x81 $((page1 + 7 * NAND_STEP + 255)):0x30 $page3:0x11
	expect "ecc-128k-values-uncorrectable: sninfo" 0 "$READ_FAILED" "$PREAD_EBADMSG" sninfo
	ecc_values_failed failed /dev/mtd2 0 3
	expect_run "ecc-128k-values-uncorrectable: ptbtool show" 1 "" "$failed" /ptbtool show /dev/mtd2

	# Two steps past the values fail, read once; the values read clean again.
	ecc_faults $page3:0x11 $((page9 + 5 * NAND_STEP + 17)):0xC0
	expect "ecc-128k-uncorrectable-past-values: sninfo" 0 "${FULL_SHOWN[sninfo]}" "" sninfo
	ecc_failed_elsewhere failed /dev/mtd2 0 2
	expect_run "ecc-128k-uncorrectable-past-values: ptbtool show sninfo" 0 "${FULL_SHOWN[sninfo]}" \
		"$failed" /ptbtool show /dev/mtd2 sninfo

	# A bitflip in sninfo's value and one past the values, both corrected.
	ecc_faults $sninfo:0x04 $((page9 + 100)):0x01
	expect "ecc-128k-corrected: sninfo" 0 "${FULL_SHOWN[sninfo]}" "" sninfo
	ecc_corrected corrected /dev/mtd2 0 2
	expect_run "ecc-128k-corrected: ptbtool show sninfo" 0 "${FULL_SHOWN[sninfo]}" "$corrected" \
		/ptbtool show /dev/mtd2 sninfo
	guest unload
}

# The factory's way: the image written with flash_erase and nandwrite (which
# skip the bad block), read back with nanddump; ptbenv on the device and
# ptbtool show over the dump both give the values it was made from.
factory_cases() {
	[[ -n ${GUEST_TOOLS:-} ]] || return 0
	local key bad_0
	bad_blocks bad_0 0
	guest nandsim $NAND_16K parts=4,4 badblocks=8
	guest step /tools/flash_erase -q /dev/mtd2 0 4
	guest step /tools/nandwrite -q -p /dev/mtd2 /images/full.img
	guest dump factory 65536
	every_key factory-nandwrite "$bad_0"
	# Not the unknown key, for which ptbtool has its own words.
	for key in "${LAYOUT_KEYS[@]}"; do
		shown "factory-nanddump: ptbtool show $key" 0 "${FULL_SHOWN[$key]}" "" \
			factory "$key" --erasesize 16384 --bad 0
	done
	guest unload
}

# changed_bytes VAR IMAGE OFFSET VALUE: sets VAR to what cmp -l lists when
# VALUE and its terminator replace the bytes of IMAGE (a file here) at OFFSET.
changed_bytes() {
	local old new i lines=
	read -r -a old <<<"$(od -An -v -tu1 -j "$3" -N $((${#4} + 1)) "$2")"
	for ((i = 0; i <= ${#4}; i++)); do
		new=0
		((i == ${#4})) || printf -v new %d "'${4:i:1}"
		((old[i] == new)) || printf -v lines '%s%d %3o %3o\n' "$lines" $(($3 + i + 1)) "${old[i]}" "$new"
	done
	printf -v "$1" '%s' "$lines"
}

# Values set on the device, each longer than the full image's, so that its
# terminator moves too.
NEW_SNINFO=GW2311-0099999 NEW_PRODUCT="Gateway 8-channel indoor, PoE"

# ptbtool set and write over 128 KiB blocks (a 4-block mtd2), one value at a
# time: every other byte of the partition kept, nothing erased when nothing
# changes, refusals that touch nothing, a block that fails to erase (nandsim's
# weakblocks=BLOCK:ERASES) retired, a backup put back, two writers at once
# with no /run/lock.
writer_cases() {
	local dev=/dev/mtd2 at0 at1 changed same bad_0 erase_0 retired_0 refused wait_line
	local long=GW2311-0099999-GW2311-0099999-XY
	"$PTBTOOL" make --erasesize 131072 --fill 0x5a "$WORK/root/images/keep.img" "${FULL_FIELDS[@]}"
	written at0 $dev 0 1
	written at1 $dev 0x20000 1
	nothing_written same $dev 0
	bad_blocks bad_0 0
	changed_bytes changed "$WORK/root/images/keep.img" $((OFFSET[sninfo])) "$NEW_SNINFO"
	# The PTB's block takes one erase, the first set's.
	guest nandsim $NAND_128K parts=2,2,4 weakblocks=$(chip_block 2,2 0):1
	guest put keep.img 131072 0
	# The PTB's two blocks; the last two take its copy.
	guest step dd if=$dev of=/tmp/mtd2.0 bs=131072 count=2
	expect_run "set-128k: sninfo, backed up" 0 "$at0" "" /ptbtool set --backup /tmp/ptb.img $dev sninfo="$NEW_SNINFO"
	guest step dd if=$dev of=/tmp/mtd2.1 bs=131072 count=2
	guest step dd if=$dev of=/tmp/ptb.0 bs=131072 count=1
	guest step dd if=$dev of=/tmp/copy.0 bs=131072 skip=2 count=1
	expect_run "set-128k: the copy in block 2 is the PTB" 0 "" "" cmp /tmp/ptb.0 /tmp/copy.0
	# The guest starts with no /run: the lock is the node's own, and no file is made.
	expect_run "set-128k: no /run made for the lock" 1 "" "" test -e /run
	expect_run "set-128k: the backup is its owner's alone" 0 $'600\n' "" stat -c %a /tmp/ptb.img
	expect_run "set-128k: the backup is the block as it was" 0 "" "" cmp /tmp/ptb.img /images/keep.img
	expect_run "set-128k: the partition's bytes that changed" 1 "$changed" "" cmp -l /tmp/mtd2.0 /tmp/mtd2.1
	expect "set-128k: sninfo" 0 "sninfo:$NEW_SNINFO"$'\n' "" sninfo
	# A second erase would fail: nothing may be erased.
	expect_run "set-128k: the same value again" 0 "$same" "" /ptbtool set $dev sninfo="$NEW_SNINFO"
	read_only refused /dev/mtd2ro
	expect_run "set-128k: through mtd2ro" 1 "" "$refused" /ptbtool set /dev/mtd2ro product="$NEW_PRODUCT"
	expect_run "set-128k: a value refused" 1 "" $'ptbtool: sninfo holds at most 31 bytes\n' \
		/ptbtool set $dev product="$NEW_PRODUCT" sninfo="$long"
	guest step dd if=$dev of=/tmp/mtd2.2 bs=131072 count=2
	expect_run "set-128k: nothing written since" 0 "" "" cmp /tmp/mtd2.1 /tmp/mtd2.2

	# The second erase fails, and so does erasing the block to retire it.
	write_failed erase_0 $dev "erasing the block at" 0 "$EIO_TEXT"
	retired retired_0 $dev 0 no
	expect_run "set-128k: product, the block failing to erase" 0 "$at1" "$erase_0$retired_0$bad_0" \
		/ptbtool set $dev product="$NEW_PRODUCT"
	expect "set-128k: product in the next block" 0 "product:$NEW_PRODUCT"$'\n' "$bad_0" product
	expect "set-128k: sninfo in the next block" 0 "sninfo:$NEW_SNINFO"$'\n' "$bad_0" sninfo
	expect_run "set-128k: bad blocks counted" 0 $'1\n' "" cat /sys/class/mtd/mtd2/bad_blocks

	expect_run "set-128k: write the backup" 0 "$at1" "$bad_0$bad_0" /ptbtool write $dev /tmp/ptb.img
	shows_all "set-128k: after the backup" "$bad_0"

	# Two writers: the first holds the lock, stalled on its bad-block line,
	# while the second starts; the second waits, then reads what the first wrote.
	guest stalled first /ptbtool set $dev sninfo=GW2311-0000001
	guest await FLOCK /proc/locks
	guest started second /ptbtool set $dev product=Gateway-16
	guest await waiting /tmp/second.err
	guest resume first
	waiting wait_line $dev
	expect_run "set-128k: the first of two writers" 0 "$at1" "$bad_0$bad_0" replay first
	expect_run "set-128k: the second of two writers" 0 "$at1" "$wait_line$bad_0$bad_0" replay second
	expect_run "set-128k: both values" 0 $'sninfo:GW2311-0000001\nproduct:Gateway-16\n' "$bad_0" \
		/ptbtool show $dev sninfo product
	torn_cases_128k
	guest unload
}

# The PTB in block 1, torn by hand as a power cut tears it: show warns,
# recover writes the copy back, and so does set run again.
torn_cases_128k() {
	[[ -n ${GUEST_TOOLS:-} ]] || return 0
	local dev=/dev/mtd2 at1 done1 torn same bad_0
	written at1 $dev 0x20000 1
	completed done1 $dev 0x20000 0x40000
	torn_warning torn $dev 0x20000
	nothing_written same $dev 0x20000
	bad_blocks bad_0 0
	guest step dd if=$dev of=/tmp/ptb.1 bs=131072 skip=1 count=1
	guest step /tools/flash_erase -q $dev 0x20000 1
	expect_run "torn-128k: show warns" 0 "" "$bad_0$torn" /ptbtool show $dev qvhardreset
	expect_run "torn-128k: recover" 0 "$done1$at1" "$bad_0$bad_0" /ptbtool recover $dev
	guest step dd if=$dev of=/tmp/ptb.2 bs=131072 skip=1 count=1
	expect_run "torn-128k: every byte back" 0 "" "" cmp /tmp/ptb.1 /tmp/ptb.2
	expect "torn-128k: sninfo" 0 $'sninfo:GW2311-0000001\n' "$bad_0" sninfo
	# Half its pages programmed again: set run again completes the cut one.
	guest step dd if=/tmp/ptb.1 of=/tmp/half bs=65536 count=1
	guest step /tools/flash_erase -q $dev 0x20000 1
	guest step /tools/nandwrite -q -s 0x20000 $dev /tmp/half
	expect_run "torn-128k: set again" 0 "$done1$at1$same" "$bad_0$bad_0" /ptbtool set $dev product=Gateway-16
	guest step dd if=$dev of=/tmp/ptb.3 bs=131072 skip=1 count=1
	expect_run "torn-128k: every byte back after set" 0 "" "" cmp /tmp/ptb.1 /tmp/ptb.3
}

# Blocks that fail when the PTB is written, on 128 KiB blocks: a page that
# fails to program (nandsim's weakpages=PAGE:WRITES); a block bad at load,
# then two blocks in a row that fail to erase. The bad-block mark can't be
# written into the failing page: MEMSETBADBLOCK fails with EIO, yet the
# driver answers the block bad from then on (its table in memory), and its
# count of bad blocks stays 0 (5.10, 6.1 and 6.12 alike).
writer_fault_cases() {
	local dev=/dev/mtd2 at1 at3 program_1 marked survive bad_0 bad_012 erase_1 erase_2 retired_1 retired_2
	written at1 $dev 0x20000 1
	bad_blocks bad_0 0
	# Page 1 takes one program, put's.
	guest nandsim $NAND_128K parts=2,2,4 weakpages=$(chip_page 2,2 $NAND_128K_PAGES 1):1
	guest put full.img 131072 0
	write_failed program_1 $dev "programming the page at" 0x800 "$EIO_TEXT"
	not_marked marked $dev 0 "$EIO_TEXT"
	may_not_survive survive $dev
	expect_run "set-128k-weakpage: product" 3 "$at1" "$program_1$marked$bad_0$survive" \
		/ptbtool set $dev product="$NEW_PRODUCT"
	expect "set-128k-weakpage: product in the next block" 0 "product:$NEW_PRODUCT"$'\n' "$bad_0" product
	expect "set-128k-weakpage: sninfo in the next block" 0 "${FULL_SHOWN[sninfo]}" "$bad_0" sninfo
	expect_run "set-128k-weakpage: bad blocks counted" 0 $'0\n' "" cat /sys/class/mtd/mtd2/bad_blocks
	guest unload

	# Block 0 bad; block 1 takes one erase, block 2 none; blocks 4 and 5 the copy.
	guest nandsim $NAND_128K parts=2,2,6 badblocks=$(chip_block 2,2 0) \
		weakblocks=$(chip_block 2,2 1):1,$(chip_block 2,2 2):0
	guest put full.img 131072 1
	expect_run "set-128k-bad-at-load: set sninfo" 0 "$at1" "$bad_0$bad_0" /ptbtool set $dev sninfo="$NEW_SNINFO"
	expect "set-128k-bad-at-load: sninfo" 0 "sninfo:$NEW_SNINFO"$'\n' "$bad_0" sninfo
	# nandsim erases a block whose erase it fails: the PTB goes on to block 3,
	# and only then are the two marked.
	write_failed erase_1 $dev "erasing the block at" 0x20000 "$EIO_TEXT"
	write_failed erase_2 $dev "erasing the block at" 0x40000 "$EIO_TEXT"
	retired retired_1 $dev 0x20000 no
	retired retired_2 $dev 0x40000 no
	written at3 $dev 0x60000 1
	bad_blocks bad_012 0 0x20000 0x40000
	expect_run "set-128k-bad-at-load: two blocks failing, the PTB in the third" 0 "$at3" \
		"$bad_0$erase_1$erase_2$retired_2$retired_1$bad_012" /ptbtool set $dev product="$NEW_PRODUCT"
	expect_run "set-128k-bad-at-load: both values in block 3" 0 "sninfo:$NEW_SNINFO"$'\n'"product:$NEW_PRODUCT"$'\n' \
		"$bad_012" /ptbtool show $dev sninfo product
	expect_run "set-128k-bad-at-load: bad blocks counted" 0 $'3\n' "" cat /sys/class/mtd/mtd2/bad_blocks
	guest unload
}

# mtdram's 4 KiB blocks: the values' bytes span two, and only one that
# changes is written.
writer_mtdram_cases() {
	local dev=/dev/mtd2 one two changed fields=() key done0 torn same
	written one $dev 0 1
	written two $dev 0 2
	changed_bytes changed "$WORK/root/images/full.img" $((OFFSET[sninfo])) "$NEW_SNINFO"
	for key in "${FULL_FIELDS[@]}"; do
		[[ $key == sninfo=* ]] || fields+=("$key")
	done
	# The PTB as set leaves it, with byte 4200 (no value's, past the first block) changed.
	image new-sninfo.img "${fields[@]}" sninfo="$NEW_SNINFO"
	patched past-4k.img new-sninfo.img 4200 A
	guest nandsim parts=1
	guest mtdram 256 4
	guest step dd if=/images/full.img of=$dev
	# ptbenv's 40960 bytes; the last three blocks take the PTB's copy.
	guest step dd if=$dev of=/tmp/mtd2.0 bs=4096 count=10
	expect_run "set-mtdram-4k: set sninfo" 0 "$one" "" /ptbtool set $dev sninfo="$NEW_SNINFO"
	guest step dd if=$dev of=/tmp/mtd2.1 bs=4096 count=10
	expect_run "set-mtdram-4k: the partition's bytes that changed" 1 "$changed" "" cmp -l /tmp/mtd2.0 /tmp/mtd2.1
	expect "set-mtdram-4k: sninfo" 0 "sninfo:$NEW_SNINFO"$'\n' "" sninfo
	expect_run "set-mtdram-4k: write, the second block changed" 0 "$one" "" /ptbtool write $dev /images/past-4k.img
	guest step dd if=$dev of=/tmp/mtd2.2 bs=4096 count=10
	expect_run "set-mtdram-4k: the byte written" 1 "4201 377 101"$'\n' "" cmp -l /tmp/mtd2.1 /tmp/mtd2.2
	expect_run "set-mtdram-4k: set rewrites both blocks" 0 "$two" "" /ptbtool set $dev
	guest step dd if=$dev of=/tmp/mtd2.3 bs=4096 count=10
	expect_run "set-mtdram-4k: rewritten as it was" 0 "" "" cmp /tmp/mtd2.2 /tmp/mtd2.3
	expect "set-mtdram-4k: sninfo, rewritten" 0 "sninfo:$NEW_SNINFO"$'\n' "" sninfo
	guest step dd if=$dev of=/tmp/ptb.0 bs=4096 count=2
	guest step dd if=$dev of=/tmp/copy.0 bs=4096 skip=61 count=2
	expect_run "set-mtdram-4k: the copy in blocks 61 and 62 is the PTB" 0 "" "" cmp /tmp/ptb.0 /tmp/copy.0
	# RAM takes any bytes: 0xFF written over the first block is its erase by hand.
	head -c 4096 /dev/zero | tr '\0' '\377' >"$WORK/root/images/erased-4k.img"
	completed done0 $dev 0 0x3d000
	torn_warning torn $dev 0
	nothing_written same $dev 0
	guest step dd if=/images/erased-4k.img of=$dev bs=4096 count=1 conv=notrunc
	expect_run "torn-mtdram-4k: show warns" 0 "" "$torn" /ptbtool show $dev qvhardreset
	expect_run "torn-mtdram-4k: recover" 0 "$done0$two" "" /ptbtool recover $dev
	guest step dd if=$dev of=/tmp/mtd2.4 bs=4096 count=10
	expect_run "torn-mtdram-4k: every byte back" 0 "" "" cmp /tmp/mtd2.3 /tmp/mtd2.4
	expect "torn-mtdram-4k: sninfo" 0 "sninfo:$NEW_SNINFO"$'\n' "" sninfo
	# The first block's second half erased: set run again completes the cut one.
	guest step dd if=/images/erased-4k.img of=$dev bs=2048 seek=1 count=1 conv=notrunc
	expect_run "torn-mtdram-4k: set again" 0 "$done0$two$same" "" /ptbtool set $dev sninfo="$NEW_SNINFO"
	guest step dd if=$dev of=/tmp/mtd2.5 bs=4096 count=10
	expect_run "torn-mtdram-4k: every byte back after set" 0 "" "" cmp /tmp/mtd2.3 /tmp/mtd2.5
	guest unload
}

device_cases() {
	guest unload
	expect "no-mtd2: sninfo" 1 "" "$OPEN_ENOENT" sninfo
	guest step mknod /dev/mtd2 c 1 3
	expect "mtd2-is-dev-null: sninfo" 0 "$READ_FAILED" "$MEMGETINFO_ENOTTY" sninfo
}

# For PTBENV_GUEST_BENCH, on 128 KiB blocks, the geometry most boards have:
# N runs of each ptbenv looking sninfo up; N rounds of reading every value,
# one ptbenv run a key against one ptbtool show, with each build's pair.
define_bench() {
	local key keys=()
	for key in "${LAYOUT_KEYS[@]}"; do
		[[ ${KIND[$key]} == no_value ]] || keys+=("$key")
	done
	image full.img "${FULL_FIELDS[@]}"
	guest nandsim $NAND_128K parts=2,2
	guest put full.img 131072 0
	guest bench "$1" sninfo
	guest bench_every "$1" /ptbenv /ptbtool "${keys[@]}"
	guest bench_every "$1" /ptbenv-static /ptbtool-static "${keys[@]}"
	[[ -z ${PTBENV_GUEST_BENCH_BEFORE:-} ]] || guest bench_set "$1" /ptbtool-static /ptbtool-before
}
