#!/usr/bin/env bash
# The whole test suite with everything built under AddressSanitizer and
# UndefinedBehaviorSanitizer (preset asan): the library and the tool in-process
# and as a process over the preloaded simulated device. The first report halts
# the process that made it, which fails its test; leaks are checked at every exit.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need_packages g++ cmake ninja-build libgtest-dev binutils mandoc
cmake --preset asan >/dev/null
cmake --build build-asan
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir build-asan --output-on-failure
