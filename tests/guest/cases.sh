# Sourced by run.sh: the guest cases. Each group sets up /dev/mtd2 in the guest
# (guest ...), then lists cases (expect NAME STATUS STDOUT STDERR ARGS...).
# Expected output is spelt out here, not derived, so it checks the tool.
# GUEST_LIBC (glibc, musl) names the C library of the binary under test;
# GUEST_TOOLS is set when the guest has a C library and the flash tools.

READ_FAILED=$'\n ===== zarn read env failed.\n'
BAD_0_4000=$'Bad block at 0, from 0 will be skipped\nBad block at 4000, from 4000 will be skipped\n'

# The image every "all keys" group writes, and what each key prints from it.
FULL_FIELDS=(
	"chipinfo=NS-16 NAND rev B" "lorainfo=SX1302 868M" "wifiinfo=AP6212"
	"product=Gateway 8-channel outdoor" "sninfo=GW2311-004217"
	"deveui=00800000A0001234" "appeui=70B3D57ED0001B2C" "devaddr=26011F0A"
	"appkey=2B7E151628AED2A6ABF7158809CF4F3C"
	"appskey=3C4FCF098815F7ABA6D2AE2816157E2B"
	"nwkskey=0123456789ABCDEF0123456789ABCDEF"
	"cmdline=console=ttyS0,115200 root=/dev/mtdblock3 rootfstype=squashfs"
	"ethaddr=A0:1B:C2:3D:E4:5F" "qvauthcheck=7"
	"qvkey=k3Y9w2Lq8Zr4Tn6Vb1Xc5Md7Hs0Jf2Gp"
	"qvran=r8Q2m5N7b4V1c9X3z6L0k2J8h5G1f4Dw"
)
FULL_EXPECT=(
	chipinfo $'chipinfo:NS-16 NAND rev B\n'
	lorainfo $'lorainfo:SX1302 868M\n'
	wifiinfo $'wifiinfo:AP6212\n'
	product $'product:Gateway 8-channel outdoor\n'
	sninfo $'sninfo:GW2311-004217\n'
	deveui $'deveui:00800000A0001234\n'
	appeui $'appeui:70B3D57ED0001B2C\n'
	devaddr $'devaddr:26011F0A\n'
	appkey $'appkey:2B7E151628AED2A6ABF7158809CF4F3C\n'
	appskey $'appskey:3C4FCF098815F7ABA6D2AE2816157E2B\n'
	nwkskey $'nwkskey:0123456789ABCDEF0123456789ABCDEF\n'
	cmdline $'cmdline:console=ttyS0,115200 root=/dev/mtdblock3 rootfstype=squashfs\n'
	ethaddr $'ethaddr:A0:1B:C2:3D:E4:5F\n'
	qvauthcheck $'qvauthcheck:7\n'
	qvkey $'qvkey:k3Y9w2Lq8Zr4Tn6Vb1Xc5Md7Hs0Jf2Gp\n'
	qvran $'qvran:r8Q2m5N7b4V1c9X3z6L0k2J8h5G1f4Dw\n'
	qvhardreset ''    # recognised, no value
	CHIPINFO $'\n====[CHIPINFO] env not supported. \n'
)

# The texts perror prints come from the binary's C library; musl words two
# of them its own way.
set_error_texts() {
	case $GUEST_LIBC in
	glibc) EIO_TEXT="Input/output error" ENOTTY_TEXT="Inappropriate ioctl for device" ;;
	musl) EIO_TEXT="I/O error" ENOTTY_TEXT="Not a tty" ;;
	esac
	ENOENT_TEXT="No such file or directory"
}

# every_key GROUP STDERR: every key of FULL_EXPECT, each with the same stderr.
every_key() {
	local i
	for ((i = 0; i < ${#FULL_EXPECT[@]}; i += 2)); do
		expect "$1: ${FULL_EXPECT[i]}" 0 "${FULL_EXPECT[i + 1]}" "$2" "${FULL_EXPECT[i]}"
	done
}

# nandsim ID bytes for 16 KiB, 8 KiB and 128 KiB erase blocks.
NAND_16K="first_id_byte=0xec second_id_byte=0x73"
NAND_8K="first_id_byte=0xec second_id_byte=0xe6"
NAND_128K="first_id_byte=0xec second_id_byte=0xf1 third_id_byte=0x00 fourth_id_byte=0x15"

define_cases() {
	set_error_texts
	image full.img "${FULL_FIELDS[@]}"
	bad_block_cases
	erased_cases
	other_nand_cases
	mtdram_cases
	factory_cases
	device_cases
}

# 16 KiB blocks. parts= counts erase blocks and badblocks= counts from the
# chip's start, so with parts=4,4 chip blocks 8 and 9 are mtd2's blocks 0, 1.
bad_block_cases() {
	guest nandsim $NAND_16K parts=4,4 badblocks=8,9
	guest put full.img 16384 2
	every_key nandsim-16k-badblocks "$BAD_0_4000"
	expect "nandsim-16k-badblocks: empty key" 0 $'\n====[] env not supported. \n' \
		"$BAD_0_4000" ""
	# Any argument count but one: silent, and the device is not even opened.
	expect "nandsim-16k-badblocks: no arguments" 0 "" ""
	expect "nandsim-16k-badblocks: two arguments" 0 "" "" chipinfo sninfo
	guest unload

	# A 5-block partition holds the 40960 bytes read from block 2; 4 don't.
	guest nandsim $NAND_16K parts=4,4,5 badblocks=8,9
	guest put full.img 16384 2
	expect "nandsim-16k-fits-from-block-2: sninfo" 0 \
		$'sninfo:GW2311-004217\n' "$BAD_0_4000" sninfo
	guest unload
	guest nandsim $NAND_16K parts=4,4,4 badblocks=8,9
	guest put full.img 16384 2
	expect "nandsim-16k-short-after-block-2: sninfo" 0 "$READ_FAILED" \
		"${BAD_0_4000}pread PTB: $EIO_TEXT"$'\n' sninfo
	guest unload

	guest nandsim $NAND_16K parts=4,4,3 badblocks=8,9,10
	local all_bad="${BAD_0_4000}Bad block at 8000, from 8000 will be skipped"$'\n'
	all_bad+=$'Can\'t find good block in PTB.\n'
	expect "nandsim-16k-all-bad: sninfo" 0 "$READ_FAILED" "$all_bad" sninfo
	expect "nandsim-16k-all-bad: qvhardreset" 0 "$READ_FAILED" "$all_bad" qvhardreset
	guest unload
}

# 128 KiB blocks, where the whole block is read, and 8 KiB blocks.
other_nand_cases() {
	guest nandsim $NAND_128K parts=2,2
	guest put full.img 131072 0
	every_key nandsim-128k ""
	guest unload
	# A partition of one 128 KiB block: the whole block is read, nothing past it.
	guest nandsim $NAND_128K parts=2,2,1
	guest put full.img 131072 0
	expect "nandsim-128k-one-block-partition: product" 0 \
		$'product:Gateway 8-channel outdoor\n' "" product
	guest unload

	guest nandsim $NAND_8K parts=4,4 badblocks=8
	guest put full.img 8192 1
	expect "nandsim-8k-badblock: chipinfo" 0 $'chipinfo:NS-16 NAND rev B\n' \
		$'Bad block at 0, from 0 will be skipped\n' chipinfo
	guest unload
}

# Freshly loaded flash is erased: every byte reads 0xFF.
erased_cases() {
	local ff
	ff=$(printf '\xff%.0s' {1..1024})
	guest nandsim $NAND_16K parts=4,4
	expect "nandsim-16k-erased: chipinfo" 0 "chipinfo:$ff"$'\n' "" chipinfo
	expect "nandsim-16k-erased: qvkey" 0 "qvkey:$ff"$'\n' "" qvkey
	expect "nandsim-16k-erased: ethaddr" 0 $'ethaddr:FF:FF:FF:FF:FF:FF\n' "" ethaddr
	expect "nandsim-16k-erased: qvauthcheck" 0 $'qvauthcheck:/\n' "" qvauthcheck
	guest unload
}

# mtdram gives 4 KiB blocks, which nandsim refuses; a one-block nandsim takes
# mtd0 and mtd1 so that mtdram becomes mtd2.
mtdram_cases() {
	guest nandsim parts=1
	guest mtdram 256 4
	guest put full.img 4096 0
	every_key mtdram-4k ""
	# ptbtool make refuses a qvran of 31 characters; ptbenv prints nothing for one.
	patched short-qvran.img full.img $((0xDE2 + 31)) '\0'
	guest put short-qvran.img 4096 0
	expect "mtdram-4k: qvran of 31 characters" 0 "" "" qvran
	guest unload
	guest nandsim parts=1
	guest mtdram 40 4
	guest put full.img 4096 0
	expect "mtdram-4k-exactly-40k: appkey" 0 \
		$'appkey:2B7E151628AED2A6ABF7158809CF4F3C\n' "" appkey
	guest unload
	guest nandsim parts=1
	guest mtdram 36 4
	guest put full.img 4096 0
	expect "mtdram-4k-only-36k: appkey" 0 "$READ_FAILED" \
		"pread PTB: $EIO_TEXT"$'\n' appkey
	guest unload
}

# The factory's way: the image written with flash_erase and nandwrite (which
# skip the bad block), read back with nanddump; ptbenv on the device and
# ptbtool show over the dump both give the values it was made from.
factory_cases() {
	[[ -n ${GUEST_TOOLS:-} ]] || return 0
	local i
	guest nandsim $NAND_16K parts=4,4 badblocks=8
	guest step /tools/flash_erase -q /dev/mtd2 0 4
	guest step /tools/nandwrite -q -p /dev/mtd2 /images/full.img
	guest dump factory 65536
	every_key factory-nandwrite $'Bad block at 0, from 0 will be skipped\n'
	# All but the unknown key, for which ptbtool has its own words.
	for ((i = 0; i < ${#FULL_EXPECT[@]} - 2; i += 2)); do
		shown "factory-nanddump: ptbtool show ${FULL_EXPECT[i]}" 0 "${FULL_EXPECT[i + 1]}" "" \
			factory "${FULL_EXPECT[i]}" --erasesize 16384 --bad 0
	done
	guest unload
}

device_cases() {
	guest unload
	expect "no-mtd2: sninfo" 1 "" "open PTB: $ENOENT_TEXT"$'\n' sninfo
	guest step mknod /dev/mtd2 c 1 3
	expect "mtd2-is-dev-null: sninfo" 0 "$READ_FAILED" \
		"PTB MEMGETINFO: $ENOTTY_TEXT"$'\n' sninfo
}

# For PTBENV_GUEST_BENCH: N runs of each binary looking sninfo up on 128 KiB
# blocks, the geometry most boards have.
define_bench() {
	image full.img "${FULL_FIELDS[@]}"
	guest nandsim $NAND_128K parts=2,2
	guest put full.img 131072 0
	guest bench "$1" sninfo
}
