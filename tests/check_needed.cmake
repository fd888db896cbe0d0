# Fails unless BINARY is a 64-bit little-endian ELF program for MACHINE
# (readelf's name: AArch64 or X86-64; any when not given) that needs the C
# library alone (libc.so.6) or, given -DSTATIC=ON, nothing at all: no program
# interpreter and no NEEDED entry. Given -DGLIBC_BASELINE=2.17, it must also
# ask for no C library symbol version newer than that (GLIBC_2.17): the
# oldest C library it has to load on.
#   cmake -DBINARY=FILE [-DMACHINE=NAME] [-DSTATIC=ON | -DGLIBC_BASELINE=V] -P check_needed.cmake
execute_process(COMMAND readelf -h -l -d -V -W ${BINARY} OUTPUT_VARIABLE elf RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "readelf ${BINARY} failed")
endif()
if(NOT elf MATCHES "Class: +ELF64\n" OR NOT elf MATCHES "Data: +2's complement, little endian\n"
    OR NOT elf MATCHES "Type: +(EXEC|DYN) ")
  message(FATAL_ERROR "${BINARY} is no 64-bit little-endian ELF program")
endif()
if(MACHINE AND NOT elf MATCHES "Machine: +[^\n]*${MACHINE}\n")
  string(REGEX MATCH "Machine: +[^\n]*" machine "${elf}")
  message(FATAL_ERROR "${BINARY} is not for ${MACHINE}: ${machine}")
endif()

string(REGEX MATCHALL "Shared library: \\[[^]]*\\]" needed "${elf}")
if(STATIC)
  if(elf MATCHES "Requesting program interpreter" OR needed)
    message(FATAL_ERROR "${BINARY} is not linked statically: ${needed}")
  endif()
  return()
endif()
# The C library's dynamic loader is always loaded; a binary needs it by name
# where it defines what the binary uses (AArch64's stack protector canary).
list(FILTER needed EXCLUDE REGEX "^Shared library: \\[ld-linux[-a-z0-9_]*\\.so\\.[0-9]+\\]$")
if(NOT needed STREQUAL "Shared library: [libc.so.6]")
  message(FATAL_ERROR "${BINARY} needs: ${needed}; expected libc.so.6 alone")
endif()
if(GLIBC_BASELINE)
  string(REGEX MATCHALL "Name: GLIBC_[^ \n]+" versions "${elf}")
  foreach(version IN LISTS versions)
    string(SUBSTRING "${version}" 12 -1 version)
    if(NOT version MATCHES "^[0-9.]+$" OR version VERSION_GREATER GLIBC_BASELINE)
      message(FATAL_ERROR "${BINARY} needs GLIBC_${version}; it must load on glibc ${GLIBC_BASELINE}")
    endif()
  endforeach()
  if(NOT versions)
    message(FATAL_ERROR "${BINARY}: no GLIBC symbol versions found")
  endif()
endif()
