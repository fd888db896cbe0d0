#!/usr/bin/env bash
# Static analysis of the shipped code (ptb/, tool/) and the test tooling:
# clang-tidy with the checks named in .clang-tidy (tests/.clang-tidy for the
# tests) and cppcheck with the checks named below. Any warning fails.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need_packages clang-tidy cppcheck cmake ninja-build libgtest-dev
# Configure only: clang-tidy needs the compile commands, not the build.
cmake --workflow --preset lint >/dev/null
build=$(preset_dir lint)

sources=$(git ls-files 'ptb/*.cpp' 'tool/*.cpp' 'tests/*.cpp')
status=0

echo "clang-tidy: $(clang-tidy --version | sed -n 's/.*LLVM version //p')"
# --quiet drops the count of warnings in system headers; with WarningsAsErrors
# every finding in this project's code is an error and fails the run.
printf '%s\n' $sources | xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet >"$build/clang-tidy.log" 2>&1 || status=1
grep -E 'warning:|error:' "$build/clang-tidy.log" && status=1

echo "cppcheck: $(cppcheck --version)"
cppcheck --enable=warning,performance,portability --std=c++17 --language=c++ \
	--library=posix,gnu,googletest --inline-suppr --error-exitcode=1 --quiet \
	-I . -I tests/mtdsim -I tests/fixture -I tests/e2e -I tests/unit $sources || status=1

[ "$status" -eq 0 ] && echo "clang-tidy and cppcheck: no warnings in $(echo $sources | wc -w) files"
exit "$status"
