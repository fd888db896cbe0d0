#!/usr/bin/env bash
# Builds the tool, the simulated device and the tests for this machine and runs them.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

# mandoc and busybox: the manual pages' lint and the boot snippet test are registered only when found.
need_packages g++ cmake ninja-build libgtest-dev binutils mandoc busybox
cmake --workflow --preset host
