# The notices and diagnostics of ptbenv, and of ptbtool reading a device,
# spelt out once for the shell stages (tests/guest/cases.sh,
# scripts/test-package.sh, scripts/test-aarch64.sh); sourced by bash. They are
# written here, not taken from the tool, so that the stages check it.

# On standard output: the PTB could not be read.
READ_FAILED=$'\n ===== zarn read env failed.\n'
# On standard error, after a bad-block line for every block of the partition.
NO_GOOD_BLOCK=$'Can\'t find good block in PTB.\n'

# unsupported VAR KEY: sets VAR to the notice, on standard output, for a key
# the tool has no field for.
unsupported() {
	printf -v "$1" '\n====[%s] env not supported. \n' "$2"
}

# bad_blocks VAR OFFSET...: sets VAR to the lines, on standard error, for bad
# blocks at these byte offsets of the partition.
bad_blocks() {
	local var=$1 offset lines= line
	shift
	for offset; do
		printf -v line 'Bad block at %x, from %x will be skipped\n' "$offset" "$offset"
		lines+=$line
	done
	printf -v "$var" '%s' "$lines"
}

# perror_lines LIBC: sets OPEN_ENOENT, MEMGETINFO_ENOTTY, PREAD_EIO and
# PREAD_EBADMSG (a read the ECC could not correct) to the lines perror prints
# for the failures the stages provoke, in the words of that C library (glibc,
# musl); musl words two of them its own way.
perror_lines() {
	local eio enotty
	case $1 in
	glibc) eio="Input/output error" enotty="Inappropriate ioctl for device" ;;
	musl) eio="I/O error" enotty="Not a tty" ;;
	*)
		echo "perror_lines: no error texts for the C library '$1'" >&2
		return 1
		;;
	esac
	OPEN_ENOENT=$'open PTB: No such file or directory\n'
	MEMGETINFO_ENOTTY="PTB MEMGETINFO: $enotty"$'\n'
	PREAD_EIO="pread PTB: $eio"$'\n'
	PREAD_EBADMSG=$'pread PTB: Bad message\n'
}

# The bytes of the PTB any value comes from, counted from its start: up to the
# end of the last text field's 1024-byte run-on.
VALUES_END=4840

# What ptbtool show says on standard error about the ECC of a device, for
# DEVICE and the PTB's block at byte OFFSET of the partition.
#
# ecc_values_failed VAR DEVICE OFFSET STEPS: STEPS steps of the values' bytes
# failed in both reads; after the read's own perror line.
ecc_values_failed() {
	printf -v "$1" '%sptbtool: %s: the ECC could not correct %s steps of the PTB'\''s values at 0x%x (its first %s bytes), read twice: restore them from a backup or write a full image\n' \
		"$PREAD_EBADMSG" "$2" "$4" "$3" "$VALUES_END"
}

# ecc_failed_elsewhere VAR DEVICE OFFSET STEPS: STEPS steps failed in the
# first read, none in the values' bytes read again.
ecc_failed_elsewhere() {
	printf -v "$1" 'ptbtool: warning: %s: the ECC could not correct %s steps reading the PTB at 0x%x, but the values'\'' %s bytes read clean a second time\n' \
		"$2" "$4" "$3" "$VALUES_END"
}

# ecc_corrected VAR DEVICE OFFSET BITS: the ECC corrected BITS bitflips.
ecc_corrected() {
	printf -v "$1" 'ptbtool: warning: %s: the ECC corrected %s bitflips reading the PTB at 0x%x: rewrite it before more flip than the ECC corrects\n' \
		"$2" "$4" "$3"
}

# device_geometry_given VAR DEVICE: the refusal of --erasesize, --size and
# --bad with a device.
device_geometry_given() {
	printf -v "$1" 'ptbtool: %s: an MTD device tells its own geometry and bad blocks: no --erasesize, --size or --bad with it\n' "$2"
}
