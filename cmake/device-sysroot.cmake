# Included by the toolchain files: the sysroot scripts/device-sysroot.sh makes
# (once; it caches it) for ARGN, stored in the cache variable VAR unless VAR
# names one already.
function(ptbenv_device_sysroot var doc)
  if(${var})
    return()
  endif()
  execute_process(COMMAND ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../scripts/device-sysroot.sh ${ARGN}
    OUTPUT_VARIABLE sysroot OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot make the sysroot (scripts/device-sysroot.sh ${ARGN})")
  endif()
  set(${var} ${sysroot} CACHE PATH "${doc}")
endfunction()
