# Fails unless the binary needs the C library alone: libc.so.6 and, on
# AArch64, the dynamic loader, which holds the stack protector's guard
# (__stack_chk_guard); both come in the same Debian package, libc6.
execute_process(COMMAND readelf -d ${BINARY} OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "readelf -d ${BINARY} failed")
endif()
string(REGEX MATCHALL "Shared library: \\[[^]]*\\]" needed "${dynamic}")
list(REMOVE_ITEM needed "Shared library: [ld-linux-aarch64.so.1]")
if(NOT needed STREQUAL "Shared library: [libc.so.6]")
  message(FATAL_ERROR "${BINARY} needs: ${needed}; expected libc.so.6 alone")
endif()
