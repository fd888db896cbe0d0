#!/usr/bin/env bash
# Fuzzes env_get over the simulated device (clang, libFuzzer, ASan and UBSan):
# the regression inputs and the seed corpus first, then about a minute of
# fuzzing. Any crash, sanitizer report, leak, failed check or hang fails.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need_packages clang libclang-rt-14-dev cmake ninja-build libgtest-dev
cmake --workflow --preset fuzz

fuzzer=$(preset_dir fuzz)/tests/fuzz/ptb_fuzz
findings=$(preset_dir fuzz)/findings
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
mkdir -p "$findings"

if ! "$fuzzer" -runs=0 -timeout=10 -close_fd_mask=3 -artifact_prefix="$findings/" tests/fuzz/regressions tests/fuzz/corpus >"$findings/replay.log" 2>&1; then
	tail -n 60 "$findings/replay.log"
	echo "a regression or seed input fails again"
	exit 1
fi
grep INITED "$findings/replay.log"

# New inputs go to a scratch corpus; the seeds in the repository stay as they are.
if ! "$fuzzer" -max_total_time="${PTBENV_FUZZ_SECONDS:-60}" -timeout=10 -close_fd_mask=3 \
	-print_final_stats=1 -artifact_prefix="$findings/" "$corpus" tests/fuzz/corpus \
	>"$findings/fuzz.log" 2>&1; then
	tail -n 60 "$findings/fuzz.log"
	echo "fuzzing found a fault; the input is in $findings/. Once mended, add it to tests/fuzz/regressions/."
	exit 1
fi
grep -E 'DONE|stat::number_of_executed_units|stat::peak_rss_mb' "$findings/fuzz.log"
