# Debian packages for the architecture built for, one per install component:
# ptbenv (component ptbenv, the device tool), ptbenv-tools (component tools,
# built only when that component has files), libptb1 (component lib, the
# shared library) and libptb-dev (component dev: header, archive, link,
# ptb.pc, the CMake package, the manual page). Made by
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
list(FILTER components INCLUDE REGEX "^(ptbenv|tools|lib|dev)$")
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

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libptb${PTB_SOVERSION})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_LIB_DESCRIPTION "library reading the device parameters of the PTB flash block
libptb reads the PTB, the first good erase block of the MTD partition
/dev/mtd2, once per handle and hands each device parameter back as
ptbenv prints it, with distinct results for a key with no value, a value
no factory writes and each way reading the flash can fail. It holds no
lock and no global state, so threads may share it.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libptb-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# Installable beside the same packages of other architectures.
set(CPACK_DEBIAN_LIB_PACKAGE_MULTIARCH same)
set(CPACK_DEBIAN_DEV_PACKAGE_MULTIARCH same)
set(CPACK_COMPONENT_DEV_DESCRIPTION "library reading the PTB flash block: development files
libptb reads the PTB, the first good erase block of the MTD partition
/dev/mtd2, and hands each device parameter back as ptbenv prints it.
This package holds the header, the static archive, the pkg-config file
ptb.pc, the CMake package (find_package(ptb)) and the manual page.")
# The shared library's symbols, for the packages built against it, and the
# loader's cache refreshed when it comes or goes.
set(deb_lib ${PROJECT_BINARY_DIR}/deb-libptb)
configure_file(${CMAKE_CURRENT_LIST_DIR}/deb-libptb.symbols ${deb_lib}/symbols @ONLY)
file(WRITE ${deb_lib}/shlibs "libptb ${PTB_SOVERSION} libptb${PTB_SOVERSION} (>= ${PTB_SYMBOLS_SINCE})\n")
file(WRITE ${deb_lib}/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${deb_lib}/symbols ${deb_lib}/shlibs ${deb_lib}/triggers)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

# Run by cpack: the Depends fields, the date and the files Debian asks for.
set(CPACK_PTBENV_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_PTBENV_READELF ${CMAKE_READELF})
set(CPACK_PTBENV_OBJCOPY ${CMAKE_OBJCOPY})
set(CPACK_PTBENV_BINARIES ${PROJECT_BINARY_DIR}/deb-binaries.cmake)
set(binaries "set(binaries_ptbenv \"$<TARGET_FILE:ptbenv>\")\n")
if(TARGET ptbtool)
  string(APPEND binaries "set(binaries_tools \"$<TARGET_FILE:ptbtool>\")\n")
endif()
if(TARGET ptb_shared)
  string(APPEND binaries "set(binaries_lib \"$<TARGET_FILE:ptb_shared>\")\n")
endif()
file(GENERATE OUTPUT ${CPACK_PTBENV_BINARIES} CONTENT "${binaries}")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/deb-depends.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb-docs.cmake)
include(CPack)
