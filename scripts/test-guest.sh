#!/usr/bin/env bash
# Runs the shipped AArch64 programs, the dynamic build over glibc 2.31 and the
# static one with no C library, on real arm64 kernels' MTD drivers (nandsim,
# mtdram) of three generations under qemu-system-aarch64. The kernels, busybox,
# the drivers built for each kernel and the guest's C library are cached in
# ${PTBENV_CACHE:-~/.cache/ptbenv}/guest.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

build_host >/dev/null
need_packages g++-aarch64-linux-gnu libc6-dev-arm64-cross googletest cmake ninja-build
cmake --preset aarch64 >/dev/null
cmake --build --preset aarch64 --target ptbenv ptbtool ptb_example
cmake --preset aarch64-static >/dev/null
cmake --build --preset aarch64-static --target ptbenv ptbtool
tests/guest/run.sh "$(preset_dir aarch64)" "$(preset_dir aarch64-static)" "$HOST_BUILD/ptbtool"
