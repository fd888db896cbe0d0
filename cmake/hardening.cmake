# Hardening of the shipped code, on by default in every build type but Debug:
# the tool runs as root at every boot of a networked device. The flags go on
# ptb_shipped_flags. A distribution's or user's own flags (CXXFLAGS, LDFLAGS,
# CMAKE_CXX_FLAGS...) come first and decide: where they already choose one of
# these features (say -D_FORTIFY_SOURCE=3, -fno-stack-protector or -Wl,-z,lazy),
# the project's default for it is left out.
option(PTBENV_HARDENING "Build the shipped code with the project's hardening flags" ON)
if(NOT PTBENV_HARDENING)
  return()
endif()
include(CheckCXXCompilerFlag)

string(TOUPPER "${CMAKE_BUILD_TYPE}" config)
set(given_compile " ${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${config}}")
set(given_link " ${CMAKE_EXE_LINKER_FLAGS} ${CMAKE_EXE_LINKER_FLAGS_${config}}")

# harden_compile NAME GIVEN-PATTERN FLAG: adds FLAG unless the given compile
# flags match the pattern or the compiler rejects it.
function(harden_compile name pattern flag)
  if(NOT given_compile MATCHES "${pattern}")
    check_cxx_compiler_flag("${flag}" PTBENV_CXX_HAS_${name})
    if(PTBENV_CXX_HAS_${name})
      target_compile_options(ptb_shipped_flags INTERFACE "${flag}")
    endif()
  endif()
endfunction()

function(harden_link pattern)
  if(NOT given_link MATCHES "${pattern}")
    target_link_options(ptb_shipped_flags INTERFACE ${ARGN})
  endif()
endfunction()

# Fortified calls need optimisation; under the sanitizers they would hide the
# calls from the sanitizers' own checks.
if(NOT given_compile MATCHES "_FORTIFY_SOURCE" AND NOT PTBENV_SANITIZE)
  target_compile_definitions(ptb_shipped_flags INTERFACE $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
endif()
harden_compile(STACK_PROTECTOR "-f(no-)?stack-protector" -fstack-protector-strong)
harden_compile(STACK_CLASH "-f(no-)?stack-clash-protection" -fstack-clash-protection)
target_compile_options(ptb_shipped_flags INTERFACE -Wformat -Werror=format-security)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  harden_compile(CF_PROTECTION "-fcf-protection" -fcf-protection)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  harden_compile(BRANCH_PROTECTION "-mbranch-protection" -mbranch-protection=standard)
endif()

# A position-independent executable, unless the flags ask for a static or a
# non-PIE one; read-only relocations, resolved at start.
# Code that goes into the shared library too is position-independent by its
# target's property (-fPIC), and only an executable is linked as one.
if(NOT given_compile MATCHES "-f(no-)?(pie|PIE|pic|PIC)( |$)")
  target_compile_options(ptb_shipped_flags INTERFACE "$<$<NOT:$<BOOL:$<TARGET_PROPERTY:POSITION_INDEPENDENT_CODE>>>:-fPIE>")
endif()
harden_link(" -(no-|static-)?pie( |$)| -static( |$)" "$<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:-pie>")
harden_link("-z,?(no)?relro" -Wl,-z,relro)
harden_link("-z,?(now|lazy)" -Wl,-z,now)
