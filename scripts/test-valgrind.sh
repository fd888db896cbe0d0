#!/usr/bin/env bash
# Every end-to-end case with the shipped binary run under valgrind's memcheck:
# no invalid read or write, no leak and no descriptor left open, on every path
# (the open failure's exit(1) included). valgrind reports to one file per run,
# since the tests compare standard error byte for byte.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need_packages valgrind g++ cmake ninja-build libgtest-dev
cmake --workflow --preset valgrind

build=$(preset_dir valgrind)
# The wrapper's words are split at blanks, which the checkout's path may hold:
# the log folder is named from the repository's root, where the tools run.
logs=$build/valgrind-logs
rm -rf "$logs"
mkdir -p "$logs"
export PTBENV_TEST_WRAPPER="valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect,possible --track-fds=yes --error-exitcode=99 --log-file=$logs/%p.log"
failed=0
# A finding changes the status (99), which the tests compare; the logs are checked as well.
"$build/tests/ptbenv_e2e_tests" --gtest_brief=1 || failed=1

runs=$(find "$logs" -name '*.log' | wc -l)
echo "$runs runs under valgrind"
[ "$runs" -gt 0 ] || { echo "no valgrind report written"; exit 1; }
with_errors=$(grep -L 'ERROR SUMMARY: 0 errors' "$logs"/*.log || true)
if [ -n "$with_errors" ]; then
	echo "valgrind found errors:"
	cat $with_errors
	failed=1
fi
# Inherited descriptors (the test's own, valgrind's log) are marked so; any
# other was opened by the tool or its libraries and never closed.
left_open=$(awk '/Open (file descriptor|AF_[A-Z0-9]+ socket)/ { entry = FILENAME ": " $0; getline
	if ($0 !~ /<inherited from parent>/) print entry }' "$logs"/*.log)
if [ -n "$left_open" ]; then
	echo "descriptors left open at exit:"
	echo "$left_open"
	failed=1
fi
[ "$failed" -eq 0 ] || exit 1
echo "valgrind: no errors, no leaks, no descriptor left open"
