# Run by cpack: the package depends on the C library from the newest symbol
# version the packaged binary asks for (GLIBC_2.17 for the device build), and
# on nothing if it asks for none (a static build). readelf reads either
# architecture.
execute_process(COMMAND ${CPACK_PTBENV_READELF} -V -W ${CPACK_PTBENV_BINARY}
  OUTPUT_VARIABLE versions RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cannot read the symbol versions of ${CPACK_PTBENV_BINARY}")
endif()
string(REGEX MATCHALL "GLIBC_[0-9.]+" versions "${versions}")
set(newest 0)
foreach(version IN LISTS versions)
  string(SUBSTRING "${version}" 6 -1 version)
  if(version VERSION_GREATER newest)
    set(newest ${version})
  endif()
endforeach()
if(versions)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${newest})")
endif()
