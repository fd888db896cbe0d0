#!/usr/bin/env bash
# Builds the tool, the simulated device and the tests for this machine and runs them.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need_packages mandoc busybox	# the manual pages' lint and the boot snippet test are registered only when found
build_host
ctest --test-dir "$HOST_BUILD" --output-on-failure
