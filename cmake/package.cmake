# Debian packages for the architecture built for, one per install component:
# ptbenv (component ptbenv, the device tool) and ptbenv-tools (component
# tools, built only when that component has files). Made by
# `cmake --build DIR --target package` or by cpack in the build directory.
# cpack runs scripts on the staged files (CPACK_PRE_BUILD_SCRIPTS) from 3.19 on.
if(CMAKE_VERSION VERSION_LESS 3.19)
  message(STATUS "No Debian packages: they need CMake 3.19 or later")
  return()
endif()
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
else()
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
endif()

# Only the shipped components: test dependencies built from source stay out.
get_cmake_property(components COMPONENTS)
list(FILTER components INCLUDE REGEX "^(ptbenv|tools)$")
set(CPACK_COMPONENTS_ALL ${components})
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ptbenv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "ptbenv maintainers <ptbenv@example.org>")
set(CPACK_DEBIAN_PACKAGE_SOURCE ptbenv)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_PTBENV_PACKAGE_NAME ptbenv)
set(CPACK_COMPONENT_PTBENV_DESCRIPTION "print one device parameter from the PTB flash block
ptbenv reads the PTB, the first good erase block of the MTD partition
/dev/mtd2, and prints the parameter named on its command line as
key:value: chip and radio information, product name, serial number,
LoRaWAN identities and keys, the Ethernet MAC address and more.
It only ever reads the flash.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ptbenv-tools)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "make and read PTB images on a PC, for the factory
ptbtool writes PTB images, the device parameter blocks that ptbenv
reads from the MTD partition /dev/mtd2, refusing any value that ptbenv
would not give back unchanged, and prints every parameter of an image
or flash dump as ptbenv would print it on the device.")

# Run by cpack: the Depends fields, the date and the files Debian asks for.
set(CPACK_PTBENV_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_PTBENV_READELF ${CMAKE_READELF})
set(CPACK_PTBENV_OBJCOPY ${CMAKE_OBJCOPY})
set(CPACK_PTBENV_BINARIES ${PROJECT_BINARY_DIR}/deb-binaries.cmake)
set(binaries "set(binaries_ptbenv \"$<TARGET_FILE:ptbenv>\")\n")
if(TARGET ptbtool)
  string(APPEND binaries "set(binaries_tools \"$<TARGET_FILE:ptbtool>\")\n")
endif()
file(GENERATE OUTPUT ${CPACK_PTBENV_BINARIES} CONTENT "${binaries}")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/deb-depends.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb-docs.cmake)
include(CPack)
