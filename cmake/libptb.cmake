# libptb: the shared library (libptb.so.1, only its own calls exported) and
# the static archive, on the reader's core; with BUILD_SHARED_LIBS set OFF,
# the archive alone. Installed as two components, lib (the shared library)
# and dev (the header, the archive, the link, ptb.pc, the CMake package and
# the manual page), which the Debian packages libptb1 and libptb-dev hold.
set(PTB_SOVERSION 1)
# The release each of its symbols first came in (cmake/deb-libptb.symbols).
set(PTB_SYMBOLS_SINCE 1.3.0)
set(ptb_public_include $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set(ptb_libraries ptb_static)

add_library(ptb_static STATIC $<TARGET_OBJECTS:ptb_core>)
set_target_properties(ptb_static PROPERTIES OUTPUT_NAME ptb EXPORT_NAME ptb_static)
target_include_directories(ptb_static INTERFACE ${ptb_public_include})

if(NOT DEFINED BUILD_SHARED_LIBS OR BUILD_SHARED_LIBS)
  add_library(ptb_shared SHARED $<TARGET_OBJECTS:ptb_core>)
  set_target_properties(ptb_shared PROPERTIES OUTPUT_NAME ptb EXPORT_NAME ptb
    SOVERSION ${PTB_SOVERSION} VERSION ${PTB_SOVERSION}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}
    LINK_DEPENDS ${PROJECT_SOURCE_DIR}/ptb/libptb.map)
  target_include_directories(ptb_shared INTERFACE ${ptb_public_include})
  target_link_libraries(ptb_shared PRIVATE ptb_shipped_flags)
  target_link_options(ptb_shared PRIVATE -Wl,--version-script=${PROJECT_SOURCE_DIR}/ptb/libptb.map -Wl,--no-undefined)
  list(APPEND ptb_libraries ptb_shared)
  install(TARGETS ptb_shared EXPORT ptb-targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev)
endif()

install(TARGETS ptb_static EXPORT ptb-targets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES include/ptb.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(FILES man/ptb.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT dev)

# find_package(ptb): ptb::ptb (the shared library, or the archive when only
# it is built) and ptb::ptb_static. Both files find their place from where
# they are installed, as ptb.pc does from ${pcfiledir}.
include(CMakePackageConfigHelpers)
set(ptb_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/ptb)
install(EXPORT ptb-targets NAMESPACE ptb:: DESTINATION ${ptb_cmake_dir} COMPONENT dev)
configure_package_config_file(cmake/ptb-config.cmake.in ptb-config.cmake INSTALL_DESTINATION ${ptb_cmake_dir})
write_basic_package_version_file(ptb-config-version.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ptb-config.cmake ${PROJECT_BINARY_DIR}/ptb-config-version.cmake
  DESTINATION ${ptb_cmake_dir} COMPONENT dev)

file(RELATIVE_PATH ptb_pc_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" ptb_pc_prefix "\${pcfiledir}/${ptb_pc_prefix}")
configure_file(cmake/ptb.pc.in ptb.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/ptb.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
