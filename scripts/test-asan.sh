#!/usr/bin/env bash
# The whole test suite with everything built under AddressSanitizer and
# UndefinedBehaviorSanitizer (preset asan): the library and the tool in-process
# and as a process over the preloaded simulated device. The first report halts
# the process that made it, which fails its test; leaks are checked at every
# exit (the sanitizers' options are the asan test preset's). Then libptb read
# from 8 threads under ThreadSanitizer (preset tsan).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need_packages g++ cmake ninja-build libgtest-dev binutils mandoc
cmake --workflow --preset asan
cmake --workflow --preset tsan
