#!/usr/bin/env bash
# What the PTB's copy costs a set: erases, pages programmed and wall time of
# ptbtool set over the simulated device, this tree's build against the one
# of REV (a commit before the copy), in turns, each set changing sninfo.
# Two geometries: 128 KiB blocks of 2 KiB pages, 4 KiB blocks of 256-byte
# pages. Builds REV from `git archive` in a scratch folder; the device is
# this tree's (build-host). Not a test: it prints figures and judges nothing.
#
#   bench/set_cost.sh REV [ROUNDS]     ROUNDS sets of each (default 200)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

rev=${1:?usage: bench/set_cost.sh REV [ROUNDS]}
rounds=${2:-200}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --preset host >/dev/null
cmake --build --preset host --target ptbtool mtdsim >/dev/null
mkdir "$scratch/old"
git archive "$rev" | tar -x -C "$scratch/old"
cmake -S "$scratch/old" -B "$scratch/old/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPTBENV_TESTS=OFF >/dev/null
cmake --build "$scratch/old/build" --target ptbtool >/dev/null
device=$(preload_path build-host/tests/libmtdsim.so "$scratch")

# one_set TOOL ERASESIZE WRITESIZE VALUE: one set; prints erases, pages and
# microseconds.
one_set() {
	local start end
	: >"$scratch/log"
	start=$(date +%s%N)
	LD_PRELOAD=$device MTDSIM_IMAGE=$scratch/image MTDSIM_SIZE=1048576 MTDSIM_ERASESIZE=$2 \
		MTDSIM_WRITESIZE=$3 MTDSIM_LOG=$scratch/log "$1" set /dev/mtd2 sninfo="$4" >/dev/null
	end=$(date +%s%N)
	awk -v page="$3" -v us=$(((end - start) / 1000)) '
		/^MEMERASE / { erases++ }
		/^pwrite / { pages += $2 / page }
		END { printf "%d %d %d\n", erases, pages, us }' "$scratch/log"
}

# geometry ERASESIZE WRITESIZE: both builds, in turns, from the same PTB;
# the first set of each (onto erased spare blocks) apart from the rest.
geometry() {
	local tool name i line
	for tool in build-host/ptbtool "$scratch/old/build/ptbtool"; do
		name=$([[ $tool == build-host/* ]] && echo copy || echo "$rev")
		build-host/ptbtool make --erasesize "$1" "$scratch/ptb.img" sninfo=PT0 >/dev/null
		cp "$scratch/ptb.img" "$scratch/image"
		line=$(one_set "$tool" "$1" "$2" PT1)
		echo "$1 $name first $line"
		for ((i = 0; i < rounds; i++)); do
			one_set "$tool" "$1" "$2" "PT$((i % 2 + 2))"
		done | sort -n -k3 | awk -v g="$1" -v n="$name" '
			{ e = $1; p = $2; t[NR] = $3 }
			END { printf "%s %s later %d %d %d\n", g, n, e, p, t[int((NR + 1) / 2)] }'
	done
}

echo "| Erase size | Build | Set | Erases | Pages programmed | Wall time, median |"
echo "|---|---|---|---|---|---|"
for g in "131072 2048" "4096 256"; do
	geometry $g | awk '{ printf "| %s | %s | %s | %s | %s | %s µs |\n", $1, $2 == "copy" ? "this tree (the copy)" : $2, $3, $4, $5, $6 }'
done
