#!/usr/bin/env bash
# Builds ptbenv and runs it for real against a PTB image or flash dump, through
# the simulated MTD device (a PC has no /dev/mtd2).
#
#   scripts/try.sh [--image FILE] [--erasesize BYTES] [--size BYTES] [--bad N,N...] KEY
#
# FILE defaults to the bundled examples/sample-ptb.img; its bytes are the
# partition's from offset 0. --erasesize defaults to 131072, --size to the
# image rounded up to whole erase blocks, --bad lists bad erase blocks by number.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

image=examples/sample-ptb.img erasesize=131072 size= bad=
while [ $# -gt 1 ]; do
	case $1 in
	--image) image=$2 ;;
	--erasesize) erasesize=$2 ;;
	--size) size=$2 ;;
	--bad) bad=$2 ;;
	*) break ;;
	esac
	shift 2
done
if [ $# -ne 1 ]; then
	sed -n '5p' "$0" | sed 's/^# *//' >&2
	exit 2
fi
image=$(realpath "$image")
build_host >/dev/null
# ptbtool show says what is wrong with the dump itself (missing, too short,
# a bad block past its end) before the device is simulated over it, and warns
# where the key's value is not what a factory writes.
if ! found=$("$HOST_BUILD/ptbtool" show --erasesize "$erasesize" ${size:+--size "$size"} ${bad:+--bad "$bad"} \
	"$image" 2>&1 >/dev/null); then
	printf '%s\n' "$found" >&2
	exit 1
fi
printf '%s\n' "$found" | grep -F "ptbtool: warning: $1:" >&2 || true
env MTDSIM_IMAGE="$image" MTDSIM_ERASESIZE="$erasesize" ${size:+MTDSIM_SIZE="$size"} MTDSIM_BAD="$bad" \
	LD_PRELOAD="$PWD/$HOST_BUILD/tests/libmtdsim.so" "$HOST_BUILD/ptbenv" "$1"
