# Run by cpack on each package's staged files: what Debian asks of a package
# besides the program. Manual pages are compressed, and the package's
# documentation folder gets the copyright file and the changelog, made from
# CHANGELOG. gzip -n stores no name or time, so the bytes depend on the text alone.
set(source ${CPACK_PTBENV_SOURCE_DIR})
set(work ${CPACK_TOPLEVEL_DIRECTORY}/ptbenv-docs)
file(MAKE_DIRECTORY ${work})

# CHANGELOG: "VERSION (YYYY-MM-DD HH:MM UTC)" lines, each followed by "- " items whose
# further lines are indented by two blanks. Debian's form: see deb-changelog(5).
file(STRINGS ${source}/CHANGELOG lines)
set(changelog "")
set(trailer "")
foreach(line IN LISTS lines)
  if(line MATCHES "^([0-9.]+) \\(([^)]+)\\)$")
    execute_process(COMMAND date -u -R -d "${CMAKE_MATCH_2}"
      OUTPUT_VARIABLE day OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "CHANGELOG: bad date in '${line}'")
    endif()
    string(APPEND changelog "${trailer}ptbenv (${CMAKE_MATCH_1}) unstable; urgency=medium\n\n")
    set(trailer "\n -- ${CPACK_PACKAGE_CONTACT}  ${day}\n\n")
  elseif(line MATCHES "^- (.*)")
    string(APPEND changelog "  * ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^  (.*)")
    string(APPEND changelog "    ${CMAKE_MATCH_1}\n")
  elseif(NOT line STREQUAL "")
    message(FATAL_ERROR "CHANGELOG: cannot read '${line}'")
  endif()
endforeach()
string(REGEX REPLACE "\n\n$" "\n" changelog "${changelog}${trailer}")
file(WRITE ${work}/changelog "${changelog}")

function(place file dir)
  file(MAKE_DIRECTORY ${dir})
  file(COPY ${file} DESTINATION ${dir})
endfunction()

# gzip_into FILE DIR: places FILE.gz into DIR.
function(gzip_into file dir)
  get_filename_component(name ${file} NAME)
  execute_process(COMMAND gzip -9nc ${file} OUTPUT_FILE ${work}/${name}.gz RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${file} failed")
  endif()
  place(${work}/${name}.gz ${dir})
endfunction()

foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  set(root ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${component}${CPACK_PACKAGING_INSTALL_PREFIX})
  string(TOUPPER ${component} upper)
  # The compiler's identification in each program and library: Debian's packages drop it.
  file(GLOB_RECURSE programs ${root}/bin/* ${root}/lib/*.so.* ${root}/lib/*.a)
  foreach(program IN LISTS programs)
    if(IS_SYMLINK ${program})
      continue()
    endif()
    execute_process(COMMAND ${CPACK_PTBENV_OBJCOPY} --remove-section=.comment ${program}
      RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "objcopy ${program} failed")
    endif()
  endforeach()
  file(GLOB_RECURSE pages ${root}/share/man/*.[1-9])
  foreach(page IN LISTS pages)
    get_filename_component(dir ${page} DIRECTORY)
    gzip_into(${page} ${dir})
    file(REMOVE ${page})
  endforeach()
  set(doc ${root}/share/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  configure_file(${source}/cmake/deb-copyright ${work}/copyright COPYONLY)
  place(${work}/copyright ${doc})
  gzip_into(${work}/changelog ${doc})
  # Modes as Debian wants them, whatever the build's umask or the checkout's modes.
  execute_process(COMMAND chmod -R u=rwX,go=rX ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${component})
endforeach()
