#!/usr/bin/env bash
# Runs the shipped AArch64 binary on a real arm64 Linux kernel's MTD drivers
# (nandsim, mtdram) under qemu-system-aarch64. The kernel, busybox and the
# drivers built for that kernel are cached in ${PTBENV_CACHE:-~/.cache/ptbenv}/guest.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

build_host >/dev/null
need_packages g++-aarch64-linux-gnu libc6-dev-arm64-cross googletest cmake ninja-build
cmake --preset aarch64 >/dev/null
cmake --build build-aarch64 --target ptbenv
tests/guest/run.sh build-aarch64/ptbenv "$HOST_BUILD/tests/mkptb"
