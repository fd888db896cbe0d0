#!/usr/bin/env bash
# Fuzzes each target of tests/fuzz (clang, libFuzzer, ASan and UBSan): its
# regression inputs and seed corpus first, then its share of about a minute
# (PTBENV_FUZZ_SECONDS) of fuzzing. Any crash, sanitizer report, leak, failed
# check or hang fails.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need_packages clang libclang-rt-14-dev cmake ninja-build libgtest-dev
cmake --workflow --preset fuzz

targets=(env_get assign number show)
seconds=$(( ${PTBENV_FUZZ_SECONDS:-60} / ${#targets[@]} ))
[ "$seconds" -gt 0 ] || seconds=1
findings=$(preset_dir fuzz)/findings
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for target in "${targets[@]}"; do
	fuzzer=$(preset_dir fuzz)/tests/fuzz/${target}_fuzz
	found=$findings/$target
	inputs=(tests/fuzz/corpus/"$target")
	[ ! -d tests/fuzz/regressions/"$target" ] || inputs=(tests/fuzz/regressions/"$target" "${inputs[@]}")
	mkdir -p "$found" "$scratch/$target"

	if ! "$fuzzer" -runs=0 -timeout=10 -close_fd_mask=3 -artifact_prefix="$found/" "${inputs[@]}" \
		>"$found/replay.log" 2>&1; then
		tail -n 60 "$found/replay.log"
		echo "$target: a regression or seed input fails again"
		exit 1
	fi
	grep INITED "$found/replay.log"

	# New inputs go to a scratch corpus; the seeds in the repository stay as they are.
	if ! "$fuzzer" -max_total_time="$seconds" -timeout=10 -close_fd_mask=3 \
		-print_final_stats=1 -artifact_prefix="$found/" "$scratch/$target" tests/fuzz/corpus/"$target" \
		>"$found/fuzz.log" 2>&1; then
		tail -n 60 "$found/fuzz.log"
		echo "$target: fuzzing found a fault; the input is in $found/. Once mended, add it to tests/fuzz/regressions/$target/."
		exit 1
	fi
	echo "$target: $(grep -E 'DONE|stat::number_of_executed_units|stat::peak_rss_mb' "$found/fuzz.log" | tr '\n' ' ')"
done
