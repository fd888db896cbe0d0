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

device_cases() {
	guest unload
	expect "no-mtd2: sninfo" 1 "" "$OPEN_ENOENT" sninfo
	guest step mknod /dev/mtd2 c 1 3
	expect "mtd2-is-dev-null: sninfo" 0 "$READ_FAILED" "$MEMGETINFO_ENOTTY" sninfo
}

# For PTBENV_GUEST_BENCH: N runs of each binary looking sninfo up on 128 KiB
# blocks, the geometry most boards have.
define_bench() {
	image full.img "${FULL_FIELDS[@]}"
	guest nandsim $NAND_128K parts=2,2
	guest put full.img 131072 0
	guest bench "$1" sninfo
}
