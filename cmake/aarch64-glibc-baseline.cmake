# The device build (preset aarch64): Debian's AArch64 cross compiler, with the
# shipped binaries built against an old AArch64 C library instead of the
# compiler's own. By default that is Debian 11's (glibc 2.31), made by
# scripts/device-sysroot.sh: a binary linked against it asks for no symbol
# version above GLIBC_2.17, the first AArch64 glibc, and so loads on every
# AArch64 glibc there is. -DPTBENV_SYSROOT=DIR names another sysroot of the
# same (Debian multiarch) layout.
include(${CMAKE_CURRENT_LIST_DIR}/aarch64-linux-gnu.cmake)

include(${CMAKE_CURRENT_LIST_DIR}/device-sysroot.cmake)
ptbenv_device_sysroot(PTBENV_SYSROOT "The device's C library, which the shipped binaries are linked against" glibc)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PTBENV_SYSROOT)

# Debian's cross compiler searches its own C library (/usr/aarch64-linux-gnu)
# ahead of --sysroot, for headers and libraries alike, so the sysroot's are
# named ahead of it: the compiler's header search with its own C library's
# directory left out, and the sysroot's start files and libraries first.
function(ptbenv_sysroot_includes lang out)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} --sysroot=${PTBENV_SYSROOT} -x${lang} -E -v /dev/null
    OUTPUT_QUIET ERROR_VARIABLE said)
  string(REGEX REPLACE ".*#include <\\.\\.\\.> search starts here:\n(.*)End of search list.*" "\\1" said "${said}")
  string(STRIP "${said}" said)
  string(REGEX REPLACE "[ \n]+" ";" dirs "${said}")
  set(flags "--sysroot=${PTBENV_SYSROOT} -nostdinc")
  foreach(dir IN LISTS dirs)
    get_filename_component(dir "${dir}" REALPATH)
    if(NOT dir STREQUAL "${CMAKE_FIND_ROOT_PATH}/include")
      string(APPEND flags " -isystem ${dir}")
    endif()
  endforeach()
  set(${out} "${flags}" PARENT_SCOPE)
endfunction()
ptbenv_sysroot_includes(c PTBENV_SYSROOT_C_FLAGS)
ptbenv_sysroot_includes(c++ PTBENV_SYSROOT_CXX_FLAGS)
set(libdir ${PTBENV_SYSROOT}/usr/lib/aarch64-linux-gnu)
set(PTBENV_SYSROOT_LINKER_FLAGS
  "--sysroot=${PTBENV_SYSROOT} -B${libdir}/ -L${libdir} -L${PTBENV_SYSROOT}/lib/aarch64-linux-gnu")

set(CMAKE_C_FLAGS_INIT "${PTBENV_SYSROOT_C_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${PTBENV_SYSROOT_CXX_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${PTBENV_SYSROOT_LINKER_FLAGS}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${PTBENV_SYSROOT_LINKER_FLAGS}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${PTBENV_SYSROOT_LINKER_FLAGS}")
