# This machine's counterpart of the aarch64-static preset, for the benchmark
# (bench/run.sh): the same static musl build, run natively.
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(PTBENV_MUSL_ARCH amd64)
include(${CMAKE_CURRENT_LIST_DIR}/musl-static.cmake)
