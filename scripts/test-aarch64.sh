#!/usr/bin/env bash
# Cross builds the tool, the simulated device and the tests for the device
# (AArch64) and runs every test under qemu-user.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need_packages g++-aarch64-linux-gnu libc6-dev-arm64-cross qemu-user googletest cmake ninja-build binutils file
cmake --preset aarch64 >/dev/null
cmake --build build-aarch64
ctest --test-dir build-aarch64 --output-on-failure

# The tool itself, as the device will load it.
tool=build-aarch64/ptbenv
kind=$(file -bL "$tool")
machine=$(readelf -h "$tool" | sed -n 's/^ *Machine: *//p')
case $kind in
"ELF 64-bit LSB "*", ARM aarch64,"*) ;;
*) echo "$tool is no AArch64 ELF: $kind" >&2; exit 1 ;;
esac
[ "$machine" = AArch64 ] || { echo "$tool: readelf says machine $machine" >&2; exit 1; }
echo "$tool: $kind"
