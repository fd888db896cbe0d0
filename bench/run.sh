#!/usr/bin/env bash
# Measures what one lookup costs and prints one Markdown table:
#   - instructions (callgrind) of a whole `ptbenv sninfo` process beside a
#     minimal C program making the same device calls, both over the simulated
#     device, and the same pair's wall time and peak memory;
#   - how an in-process env_get grows with the erase size and with bad blocks
#     (Google Benchmark), beside the bare device calls;
#   - the stripped binary's size for x86-64 and AArch64 and its NEEDED entries,
#     and the static (musl) AArch64 binary's size;
#   - instructions of the static x86-64 build (musl, made as the aarch64-static
#     preset makes the device's) beside the dynamic one, on the two paths that
#     need no simulated device: /dev/mtd2 missing, and /dev/null as /dev/mtd2
#     (in a private mount namespace).
# Builds what it needs in build-bench (preset bench), build-bench-arm64,
# build-bench-static and build-bench-arm64-static, installing missing Debian
# packages with apt-get. Not a test: it prints figures and judges nothing.
#
#   bench/run.sh [ROUNDS]     ROUNDS of the wall-time comparison (default 2000)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

rounds=${1:-2000}
build=$(preset_dir bench)
build_arm64=$build-arm64
build_static=$build-static
build_arm64_static=$build-arm64-static

need_packages gcc g++ cmake ninja-build binutils libgtest-dev valgrind libbenchmark-dev \
	g++-aarch64-linux-gnu file
echo "building in $build, $build_arm64, $build_static and $build_arm64_static ..." >&2
cmake --preset bench >/dev/null
cmake --build "$build" --target ptbenv ptbtool mtdsim ptb_layout_sh ref_lookup empty_main run_pairs env_get_bench >/dev/null
cmake --preset aarch64 -B "$build_arm64" -DPTBENV_TESTS=OFF >/dev/null
cmake --build "$build_arm64" --target ptbenv >/dev/null
cmake -S . -B "$build_static" -G Ninja --toolchain cmake/x86_64-musl-static.cmake \
	-DCMAKE_BUILD_TYPE=Release -DPTBENV_TESTS=OFF >/dev/null
cmake --build "$build_static" --target ptbenv >/dev/null
cmake --preset aarch64-static -B "$build_arm64_static" >/dev/null
cmake --build "$build_arm64_static" --target ptbenv >/dev/null

tool=$build/ptbenv
ref=$build/bench/ref_lookup
empty=$build/bench/empty_main
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
device=$(preload_path "$build/tests/libmtdsim.so" "$scratch")

# The simulated partition: the sample PTB, erase blocks of 4 KiB, so that the
# tool reads 40960 bytes as the reference does; the first block is good.
export MTDSIM_IMAGE=$PWD/examples/sample-ptb.img MTDSIM_ERASESIZE=4096
unset MTDSIM_LOG MTDSIM_BAD MTDSIM_FAULT MTDSIM_SIZE

# Both programs must print the same line, or the comparison means nothing.
for program in "$tool" "$ref"; do
	LD_PRELOAD=$device "$program" sninfo >"$scratch/$(basename "$program").out"
done
if ! cmp -s "$scratch/ptbenv.out" "$scratch/ref_lookup.out"; then
	echo "ptbenv and the reference print different lines" >&2
	exit 1
fi

# callgrind PROGRAM: prints "TOTAL DEVICE", the instructions of the whole
# process and those spent in the simulated device's own code.
callgrind() {
	local out=$scratch/callgrind.$(basename "$1")
	LD_PRELOAD=$device valgrind --tool=callgrind --callgrind-out-file="$out" "$1" sninfo \
		>/dev/null 2>"$out.log"
	local total device_ir
	total=$(sed -n 's/^summary: *//p; s/^totals: *//p' "$out" | head -1)
	device_ir=$(callgrind_annotate --threshold=100 "$out" |
		awk '/libmtdsim\.so\]$/ { gsub(",", "", $1); sum += $1 } END { print sum + 0 }')
	echo "$total $device_ir"
}

# callgrind_alone PROGRAM [mtd2]: the instructions of a whole `PROGRAM sninfo`
# process with no simulated device, in a private mount namespace whose /dev
# holds only null and, given mtd2, a /dev/mtd2 that is /dev/null (opens, then
# MEMGETINFO fails).
callgrind_alone() {
	local out=$scratch/alone.$(basename "$(dirname "$1")").${2:-missing}
	unshare -m sh -c 'mount -t tmpfs tmpfs /dev && mknod -m 666 /dev/null c 1 3 &&
		{ [ -z "$3" ] || mknod -m 666 /dev/mtd2 c 1 3; } &&
		exec valgrind --tool=callgrind --callgrind-out-file="$2" "$1" sninfo' \
		sh "$1" "$out" "${2:-}" >/dev/null 2>&1 || true
	sed -n 's/^summary: *//p' "$out" | head -1
}

echo "counting instructions ..." >&2
read -r tool_ir tool_dev <<<"$(callgrind "$tool")"
read -r ref_ir ref_dev <<<"$(callgrind "$ref")"
read -r empty_ir empty_dev <<<"$(callgrind "$empty")"
static=$build_static/ptbenv
missing_dynamic=$(callgrind_alone "$tool")
missing_static=$(callgrind_alone "$static")
null_dynamic=$(callgrind_alone "$tool" mtd2)
null_static=$(callgrind_alone "$static" mtd2)

# Every value of the device: the 16 keys as 16 ptbenv runs, against one
# ptbtool show of the device, over 128 KiB blocks as most boards have them;
# the flash bytes each reads, from the simulated device's call log, and the
# instructions of all their processes.
every_key() {
	local log=$scratch/every.$1.log ir=0 n=0 key
	local -a run
	rm -f "$log"
	for key in $(sed -n '/ no_value$/d; s/^ptb_field \([a-z]*\) .*/\1/p' "$build/tests/ptb_layout.sh"); do
		if [ "$1" = ptbtool ]; then run=("$build/ptbtool" show /dev/mtd2); else run=("$tool" "$key"); fi
		MTDSIM_ERASESIZE=131072 MTDSIM_LOG=$log LD_PRELOAD=$device \
			valgrind --tool=callgrind --callgrind-out-file="$scratch/every.$1.$n" "${run[@]}" >/dev/null 2>&1
		ir=$((ir + $(sed -n 's/^summary: *//p; s/^totals: *//p' "$scratch/every.$1.$n" | head -1)))
		n=$((n + 1))
		[ "$1" = ptbenv ] || break
	done
	echo "$(awk '/^pread/ { sum += $2 } END { print sum + 0 }' "$log") $(grep -c '^open' "$log") $ir"
}
read -r every_ptbenv_bytes every_ptbenv_opens every_ptbenv_ir <<<"$(every_key ptbenv)"
read -r every_show_bytes every_show_opens every_show_ir <<<"$(every_key ptbtool)"

echo "timing $rounds rounds ..." >&2
"$build/bench/run_pairs" "$rounds" "$device" "$tool" sninfo -- "$ref" sninfo -- "$empty" >"$scratch/pairs"
read -r _ tool_us tool_p10 tool_p90 tool_rss tool_cpu < <(sed -n 1p "$scratch/pairs")
read -r _ ref_us ref_p10 ref_p90 ref_rss ref_cpu < <(sed -n 2p "$scratch/pairs")
read -r _ empty_us _ _ empty_rss empty_cpu < <(sed -n 3p "$scratch/pairs")
read -r _ wall_ratio cpu_ratio < <(sed -n 's/^ratio/&/p' "$scratch/pairs")

echo "running the scaling benchmark ..." >&2
"$build/bench/env_get_bench" --benchmark_min_time=0.2 --benchmark_repetitions=5 \
	--benchmark_report_aggregates_only=true --benchmark_format=csv >"$scratch/scaling.csv" 2>/dev/null

# Sizes of the stripped binaries.
strip -o "$scratch/ptbenv-x86-64" "$tool"
strip -o "$scratch/ref-x86-64" "$ref"
aarch64-linux-gnu-strip -o "$scratch/ptbenv-aarch64" "$build_arm64/ptbenv"
aarch64-linux-gnu-strip -o "$scratch/ptbenv-aarch64-static" "$build_arm64_static/ptbenv"
strip -o "$scratch/ptbenv-x86-64-static" "$static"
bytes() { stat -c %s "$1"; }
sections() { size "$1" | awk 'NR == 2 { printf "text %s, data %s, bss %s", $1, $2, $3 }'; }
needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd ' '; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", a / b }'; }
thousands() { echo "$1" | sed ':a; s/\B[0-9]\{3\}\>/,&/; ta'; }

echo
echo "Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)," \
	"Linux $(uname -r), $(gcc --version | head -1); $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "Command: bench/run.sh $rounds"
echo
echo "| Measure | ptbenv | Reference | Ratio, note |"
echo "|---|---|---|---|"
printf '| Instructions, whole `sninfo` process (callgrind) | %s | %s (`ref_lookup.c`) | %s |\n' \
	"$(thousands "$tool_ir")" "$(thousands "$ref_ir")" "$(ratio "$tool_ir" "$ref_ir")"
printf '| of which the simulated device'"'"'s own code | %s | %s | the same device calls in both, two ECCGETSTATS around the read included |\n' \
	"$(thousands "$tool_dev")" "$(thousands "$ref_dev")"
printf '| Floor: an empty `main` under the same device | | %s | process start, loader and the device library |\n' \
	"$(thousands "$empty_ir")"
printf '| Instructions above that floor | %s | %s | %s |\n' \
	"$(thousands $((tool_ir - empty_ir)))" "$(thousands $((ref_ir - empty_ir)))" \
	"$(ratio $((tool_ir - empty_ir)) $((ref_ir - empty_ir)))"
printf '| Wall time, median of %s rounds in turns (p10-p90) | %s µs (%s-%s) | %s µs (%s-%s) | %s (median of per-round ratios); empty `main` %s µs |\n' \
	"$rounds" "$tool_us" "$tool_p10" "$tool_p90" "$ref_us" "$ref_p10" "$ref_p90" "$wall_ratio" "$empty_us"
printf '| CPU time (user + system), median of the same rounds | %s µs | %s µs | %s (median of per-round ratios); empty `main` %s µs |\n' \
	"$tool_cpu" "$ref_cpu" "$cpu_ratio" "$empty_cpu"
printf '| Peak memory (maximum resident set) | %s KiB | %s KiB | %s; empty `main` %s KiB |\n' \
	"$tool_rss" "$ref_rss" "$(ratio "$tool_rss" "$ref_rss")" "$empty_rss"
printf '| Stripped size, x86-64 | %s bytes (%s) | %s bytes (%s) | |\n' \
	"$(bytes "$scratch/ptbenv-x86-64")" "$(sections "$scratch/ptbenv-x86-64")" \
	"$(bytes "$scratch/ref-x86-64")" "$(sections "$scratch/ref-x86-64")"
printf '| Stripped size, AArch64 | %s bytes (%s) | | file padded to the 64 KiB page alignment |\n' \
	"$(bytes "$scratch/ptbenv-aarch64")" "$(sections "$scratch/ptbenv-aarch64")"
printf '| NEEDED entries, x86-64 / AArch64 | %s / %s | %s | |\n' \
	"$(needed "$scratch/ptbenv-x86-64")" "$(needed "$scratch/ptbenv-aarch64")" "$(needed "$scratch/ref-x86-64")"
printf '| Stripped size, AArch64 static (musl, preset `aarch64-static`) | %s bytes (%s) | | no C library needed; x86-64 static: %s bytes |\n' \
	"$(bytes "$scratch/ptbenv-aarch64-static")" "$(sections "$scratch/ptbenv-aarch64-static")" \
	"$(bytes "$scratch/ptbenv-x86-64-static")"
printf '| Instructions, `sninfo` with /dev/mtd2 missing: static (musl) against dynamic, x86-64 | %s | %s (the dynamic build) | %s; no simulated device |\n' \
	"$(thousands "$missing_static")" "$(thousands "$missing_dynamic")" "$(ratio "$missing_static" "$missing_dynamic")"
printf '| Instructions, `sninfo` with /dev/null as /dev/mtd2: static (musl) against dynamic, x86-64 | %s | %s (the dynamic build) | %s; MEMGETINFO fails |\n' \
	"$(thousands "$null_static")" "$(thousands "$null_dynamic")" "$(ratio "$null_static" "$null_dynamic")"

printf '| Every value over 128 KiB blocks: flash bytes read, 16 `ptbenv KEY` runs against one `ptbtool show /dev/mtd2` | %s bytes in %s opens | %s bytes in %s open | %s (from the simulated device'"'"'s call log) |\n' \
	"$(thousands "$every_ptbenv_bytes")" "$every_ptbenv_opens" "$(thousands "$every_show_bytes")" "$every_show_opens" \
	"$(ratio "$every_ptbenv_bytes" "$every_show_bytes")"
printf '| Every value over 128 KiB blocks: instructions of all the processes (callgrind) | %s | %s | %s |\n' \
	"$(thousands "$every_ptbenv_ir")" "$(thousands "$every_show_ir")" "$(ratio "$every_ptbenv_ir" "$every_show_ir")"

# Scaling rows: env_get beside the bare device calls, the fastest of the repetitions' CPU times.
awk -F, '
	/_min"?,/ {
		name = $1; gsub("\"", "", name); sub("_min$", "", name)
		split(name, part, "/")
		key = part[2] "/" part[3]
		cpu[part[1] "/" key] = $4
		if (part[1] == "env_get") {
			order[++n] = key
			queries[key] = $(NF - 1); read_kib[key] = $NF
		}
	}
	END {
		for (i = 1; i <= n; i++) {
			key = order[i]
			split(key, p, "/"); sub("erase:", "", p[1]); sub("KiB", " KiB", p[1]); sub("bad:", "", p[2])
			printf "| `env_get` CPU time (best of 5), erase blocks of %s, %s bad ahead | %.1f µs | %.1f µs (the device calls alone) | %+.1f µs; reads %s KiB, %d MEMGETBADBLOCK |\n",
				p[1], p[2], cpu["env_get/" key], cpu["device/" key],
				cpu["env_get/" key] - cpu["device/" key], read_kib[key], queries[key]
		}
	}' "$scratch/scaling.csv"
