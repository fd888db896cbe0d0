# Sourced by run.sh: the guest cases. Each group sets up /dev/mtd2 in the guest
# (guest ...), then lists cases (expect NAME STATUS STDOUT STDERR ARGS...).
# Expected output is spelt out here, not derived, so it checks the tool.

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
	"qvran=r8Q2m5N7b4V1c9X3z6L0k2J8h5G1f4D"
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
	qvran ''          # 31 characters: too short to print
	qvhardreset ''    # recognised, no value
	CHIPINFO $'\n====[CHIPINFO] env not supported. \n'
)

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
	image full.img "${FULL_FIELDS[@]}"
	bad_block_cases
	erased_cases
	other_nand_cases
	mtdram_cases
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
		"${BAD_0_4000}pread PTB: Input/output error"$'\n' sninfo
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
		$'pread PTB: Input/output error\n' appkey
	guest unload
}

device_cases() {
	guest unload
	expect "no-mtd2: sninfo" 1 "" $'open PTB: No such file or directory\n' sninfo
	guest step mknod /dev/mtd2 c 1 3
	expect "mtd2-is-dev-null: sninfo" 0 "$READ_FAILED" \
		$'PTB MEMGETINFO: Inappropriate ioctl for device\n' sninfo
}
