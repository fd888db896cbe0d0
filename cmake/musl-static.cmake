# Included by the static toolchain files, which name the compilers and set
# PTBENV_MUSL_ARCH (arm64, amd64): every program is linked statically with
# Debian's musl (made into a sysroot by scripts/device-sysroot.sh musl ARCH),
# so that it needs no C library where it runs. The compiler's own C library
# and libstdc++ are left out altogether; its libgcc is kept, and so are the
# kernel's headers (<mtd/mtd-user.h>), which musl does not carry.
include(${CMAKE_CURRENT_LIST_DIR}/device-sysroot.cmake)
ptbenv_device_sysroot(PTBENV_MUSL_SYSROOT "The musl sysroot the programs are linked against" musl ${PTBENV_MUSL_ARCH})
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PTBENV_MUSL_SYSROOT PTBENV_MUSL_ARCH)

if(PTBENV_MUSL_ARCH STREQUAL "amd64")
  set(triplet x86_64-linux)
else()
  set(triplet aarch64-linux)
endif()
set(include ${PTBENV_MUSL_SYSROOT}/usr/include)
set(lib ${PTBENV_MUSL_SYSROOT}/usr/lib/${triplet}-musl)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
  OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
  OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)

set(flags "-nostdinc -isystem ${include}/${triplet}-musl -isystem ${gcc_include}")
string(APPEND flags " -isystem ${include} -isystem ${include}/${triplet}-gnu")
set(CMAKE_C_FLAGS_INIT "${flags}")
set(CMAKE_CXX_FLAGS_INIT "${flags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -nostdlib ${lib}/crt1.o ${lib}/crti.o")
set(libraries "-Wl,--start-group ${lib}/libc.a ${libgcc} -Wl,--end-group ${lib}/crtn.o")
set(CMAKE_C_STANDARD_LIBRARIES "${libraries}")
set(CMAKE_CXX_STANDARD_LIBRARIES "${libraries}")
