#!/usr/bin/env bash
# Builds ptbenv and runs it for real against a PTB image or flash dump, through
# the simulated MTD device (a PC has no /dev/mtd2).
#
#   usage: scripts/try.sh [--image FILE] [--erasesize BYTES] [--size BYTES] [--bad N,N...] KEY
#
# FILE defaults to the bundled examples/sample-ptb.img; its bytes are the
# partition's from offset 0. --erasesize defaults to 131072, --size to the
# image rounded up to whole erase blocks, --bad lists bad erase blocks by number.
set -euo pipefail
usage=$(sed -n '5s/^# *//p' "$0")

usage_error() {
	printf 'try.sh: %s\n%s\n' "$1" "$usage" >&2
	exit 2
}

image= erasesize=131072 size= bad= key=
while [ $# -gt 0 ]; do
	case $1 in
	-h | --help)
		echo "$usage"
		exit 0 ;;
	--image | --erasesize | --size | --bad)
		[ $# -ge 2 ] && [ -n "$2" ] || usage_error "$1 needs a value"
		case $1 in
		--image) image=$2 ;;
		--erasesize) erasesize=$2 ;;
		--size) size=$2 ;;
		--bad) bad=$2 ;;
		esac
		shift ;;
	-*) usage_error "unknown option $1" ;;
	*)
		[ -z "$key" ] || usage_error "one KEY only: $key, $1"
		key=$1 ;;
	esac
	shift
done
[ -n "$key" ] || usage_error "no KEY"

# The image is named from where the caller stands; the build is the repository's.
[ -z "$image" ] || image=$(realpath -m -- "$image")
cd "$(dirname "$0")/.."
. scripts/lib.sh
image=${image:-$PWD/examples/sample-ptb.img}
build_host >/dev/null
# ptbtool show says what is wrong with the dump itself (missing, too short,
# a bad block past its end) before the device is simulated over it, and warns
# where the key's value is not what a factory writes.
if ! found=$("$HOST_BUILD/ptbtool" show --erasesize "$erasesize" ${size:+--size "$size"} ${bad:+--bad "$bad"} \
	"$image" 2>&1 >/dev/null); then
	printf '%s\n' "$found" >&2
	exit 1
fi
printf '%s\n' "$found" | grep -F "ptbtool: warning: $key:" >&2 || true
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
device=$(preload_path "$HOST_BUILD/tests/libmtdsim.so" "$scratch")
# The simulated device keeps its flash in the file it is given: a copy, so
# that the caller's own file is never changed.
cp -- "$image" "$scratch/image"
env MTDSIM_IMAGE="$scratch/image" MTDSIM_ERASESIZE="$erasesize" ${size:+MTDSIM_SIZE="$size"} MTDSIM_BAD="$bad" \
	LD_PRELOAD="$device" "$HOST_BUILD/ptbenv" "$key"
