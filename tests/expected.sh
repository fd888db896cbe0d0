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
# musl); musl words two of them its own way. EIO_TEXT is its word for EIO.
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
	EIO_TEXT=$eio
	PREAD_EBADMSG=$'pread PTB: Bad message\n'
}

# The bytes of the PTB any value comes from, counted from its start: up to the
# end of the last text field's 1024-byte run-on. The unit tests check it is
# the fixture's (tests/fixture/ptb_image.cpp).
VALUES_END=4840

# counted N NOUN: "1 step", "2 steps", as ptbtool counts.
counted() {
	if [ "$1" = 1 ]; then echo "1 $2"; else echo "$1 ${2}s"; fi
}

# What ptbtool show says on standard error about the ECC of a device, for
# DEVICE and the PTB's block at byte OFFSET of the partition.
#
# ecc_values_failed VAR DEVICE OFFSET STEPS: STEPS steps of the values' bytes
# failed in both reads; after the read's own perror line.
ecc_values_failed() {
	printf -v "$1" '%sptbtool: %s: the ECC could not correct %s of the PTB'\''s values at 0x%x (its first %s bytes), read twice: restore them from a backup or write a full image\n' \
		"$PREAD_EBADMSG" "$2" "$(counted "$4" step)" "$3" "$VALUES_END"
}

# ecc_failed_elsewhere VAR DEVICE OFFSET STEPS: STEPS steps failed in the
# first read, none in the values' bytes read again.
ecc_failed_elsewhere() {
	printf -v "$1" 'ptbtool: warning: %s: the ECC could not correct %s reading the PTB at 0x%x, but the values'\'' %s bytes read clean a second time\n' \
		"$2" "$(counted "$4" step)" "$3" "$VALUES_END"
}

# ecc_corrected VAR DEVICE OFFSET BITS: the ECC corrected BITS bitflips.
ecc_corrected() {
	printf -v "$1" 'ptbtool: warning: %s: the ECC corrected %s reading the PTB at 0x%x: rewrite it before more flip than the ECC corrects\n' \
		"$2" "$(counted "$4" bitflip)" "$3"
}

# device_geometry_given VAR DEVICE: the refusal of --erasesize, --size and
# --bad with a device.
device_geometry_given() {
	printf -v "$1" 'ptbtool: %s: an MTD device tells its own geometry and bad blocks: no --erasesize, --size or --bad with it\n' "$2"
}

# What ptbtool set and write say on the device, for DEVICE and byte offsets
# of the partition.
#
# written VAR DEVICE OFFSET BLOCKS: on standard output, the PTB at OFFSET
# written, BLOCKS erase blocks of it, and read back.
written() {
	local s=s
	(($4 == 1)) && s=
	printf -v "$1" 'ptbtool: %s: the PTB at 0x%x is written (%s erase block%s) and reads back as asked\n' \
		"$2" "$3" "$4" "$s"
}

# nothing_written VAR DEVICE OFFSET: on standard output, nothing to change.
nothing_written() {
	printf -v "$1" 'ptbtool: %s: the PTB at 0x%x holds this already: nothing written\n' "$2" "$3"
}

# write_failed VAR DEVICE STEP OFFSET REASON: a step ("erasing the block at",
# "programming the page at") failed.
write_failed() {
	printf -v "$1" 'ptbtool: %s: %s 0x%x: %s\n' "$2" "$3" "$4" "$5"
}

# retired VAR DEVICE OFFSET ERASED: the failed block marked bad, after it
# was erased (ERASED yes) or failed to erase again (no).
retired() {
	local how="it is erased and"
	[[ $4 == yes ]] || how="erasing it failed too; it is"
	printf -v "$1" 'ptbtool: %s: the block at 0x%x failed: %s marked bad\n' "$2" "$3" "$how"
}

# not_marked VAR DEVICE OFFSET REASON: the failed block erased, but the
# driver failed to mark it bad; then, after the PTB written past it, why the
# exit status is 3.
not_marked() {
	printf -v "$1" 'ptbtool: %s: the block at 0x%x failed: it is erased, but marking it bad failed: %s; after a reboot it may read as good again\n' \
		"$2" "$3" "$4"
}
may_not_survive() {
	printf -v "$1" 'ptbtool: %s: the PTB may not survive a reboot: the failed block ahead of it may then read as good\n' "$2"
}

# stopped VAR DEVICE: four blocks failed, the run ended there.
stopped() {
	printf -v "$1" 'ptbtool: %s: 4 blocks failed: stopped\nptbtool: %s: the flash has changed, but the PTB is not what was asked; see what it holds with ptbtool show\n' \
		"$2" "$2"
}

# completed VAR DEVICE OFFSET COPY: on standard output, the torn PTB at
# OFFSET written from its copy at COPY.
completed() {
	printf -v "$1" 'ptbtool: %s: the PTB at 0x%x is torn, a write cut short: written from its copy at 0x%x\n' \
		"$2" "$3" "$4"
}

# torn_warning VAR DEVICE OFFSET: show's warning of a torn PTB.
torn_warning() {
	printf -v "$1" 'ptbtool: warning: %s: the PTB at 0x%x is torn, a write cut short: run ptbtool recover %s before anything reads it\n' \
		"$2" "$3" "$2"
}

# read_only VAR DEVICE: a read-only node refused for writing.
read_only() {
	printf -v "$1" 'ptbtool: %s: can'\''t be written (Permission denied): a read-only node or partition\n' "$2"
}

# waiting VAR DEVICE: another ptbtool holds the partition's lock.
waiting() {
	printf -v "$1" 'ptbtool: %s: waiting for another ptbtool to finish with it\n' "$2"
}
