# Run by cpack before it packages. Each package depends on the C library from
# the newest symbol version its binaries ask for (GLIBC_2.17 for the device
# build), and on nothing when they ask for none (a static build); readelf
# reads either architecture. The packages' dates are SOURCE_DATE_EPOCH's, so that two
# builds of one commit give the same bytes: when it is unset, the last
# commit's date, and outside a git checkout the date of CHANGELOG's newest entry.
include(${CPACK_PTBENV_BINARIES})

function(libc_depends var)
  set(newest 0)
  foreach(binary IN LISTS ARGN)
    execute_process(COMMAND ${CPACK_PTBENV_READELF} -V -W ${binary}
      OUTPUT_VARIABLE versions RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "cannot read the symbol versions of ${binary}")
    endif()
    string(REGEX MATCHALL "GLIBC_[0-9.]+" versions "${versions}")
    foreach(version IN LISTS versions)
      string(SUBSTRING "${version}" 6 -1 version)
      if(version VERSION_GREATER newest)
        set(newest ${version})
      endif()
    endforeach()
  endforeach()
  if(newest VERSION_GREATER 0)
    set(${var} "libc6 (>= ${newest})" PARENT_SCOPE)
  endif()
endfunction()

libc_depends(CPACK_DEBIAN_PTBENV_PACKAGE_DEPENDS ${binaries_ptbenv})
if(DEFINED binaries_tools)
  libc_depends(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS ${binaries_tools})
endif()
# The development files go with the shared library of their own version.
if(DEFINED binaries_lib)
  libc_depends(CPACK_DEBIAN_LIB_PACKAGE_DEPENDS ${binaries_lib})
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${CPACK_DEBIAN_LIB_PACKAGE_NAME} (= ${CPACK_PACKAGE_VERSION})")
endif()

if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C ${CPACK_PTBENV_SOURCE_DIR} log -1 --format=%ct -- .
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status ERROR_QUIET)
  if(NOT status EQUAL 0 OR epoch STREQUAL "")
    file(STRINGS ${CPACK_PTBENV_SOURCE_DIR}/CHANGELOG release REGEX "^[0-9.]+ \\(" LIMIT_COUNT 1)
    string(REGEX REPLACE "^[0-9.]+ \\((.*)\\)$" "\\1" day "${release}")
    execute_process(COMMAND date -u -d "${day}" +%s
      OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "no date in ${CPACK_PTBENV_SOURCE_DIR}/CHANGELOG: ${release}")
    endif()
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
endif()
