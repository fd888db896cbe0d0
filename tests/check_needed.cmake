# Fails unless the binary needs the C library alone (libc.so.6) and, given
# -DGLIBC_BASELINE=2.17, unless it asks for no C library symbol version
# newer than that (GLIBC_2.17): the oldest C library it has to load on.
execute_process(COMMAND readelf -d -V -W ${BINARY} OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "readelf -d -V ${BINARY} failed")
endif()
string(REGEX MATCHALL "Shared library: \\[[^]]*\\]" needed "${dynamic}")
# The C library's dynamic loader is always loaded; a binary needs it by name
# where it defines what the binary uses (AArch64's stack protector canary).
list(FILTER needed EXCLUDE REGEX "^Shared library: \\[ld-linux[-a-z0-9_]*\\.so\\.[0-9]+\\]$")
if(NOT needed STREQUAL "Shared library: [libc.so.6]")
  message(FATAL_ERROR "${BINARY} needs: ${needed}; expected libc.so.6 alone")
endif()
if(GLIBC_BASELINE)
  string(REGEX MATCHALL "Name: GLIBC_[^ \n]+" versions "${dynamic}")
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
