# The device build linked statically with musl (preset aarch64-static): a
# binary that needs no C library on the device, for an initramfs, a recovery
# image or a userland with another C library. The simulated device can't be
# preloaded into a static binary, so this build has no tests of its own; the
# guest stage runs it on a real kernel.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
set(PTBENV_MUSL_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/musl-static.cmake)
