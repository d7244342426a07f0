# Read by cpack twice: as the project's CPack configuration, before any
# package is made, and as a post-build script, once the packages are made.
if(NOT DEFINED CPACK_PACKAGE_FILES)
  # With this set, CPack gives every archive member (and the .deb's ar
  # members and gzip headers) the commit's time, whatever the files' times.
  set(ENV{SOURCE_DATE_EPOCH} "${CPACK_MORVET_SOURCE_DATE_EPOCH}")
  return()
endif()

# The .deb's Installed-Size is CPack's sum of the staged files' and
# directories' sizes, and a directory's size depends on the file system
# (4096 bytes on ext4, a few dozen on tmpfs). The package is rebuilt by
# dpkg-deb with the size counted as Debian's tools count it: a kibibyte per
# directory, each file's size rounded up to whole kibibytes. dpkg-deb sorts
# the members, makes them root's and stamps them with SOURCE_DATE_EPOCH.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "[.]deb$")
    continue()
  endif()
  set(tree "${CPACK_TOPLEVEL_DIRECTORY}/reproducible-deb")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb --raw-extract "${package}" "${tree}"
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "dpkg-deb could not unpack ${package}")
  endif()
  file(GLOB_RECURSE entries LIST_DIRECTORIES true RELATIVE "${tree}" "${tree}/*")
  set(kibibytes 0)
  foreach(entry IN LISTS entries)
    if(entry MATCHES "^DEBIAN(/|$)")
      continue()
    elseif(IS_DIRECTORY "${tree}/${entry}" OR IS_SYMLINK "${tree}/${entry}")
      math(EXPR kibibytes "${kibibytes} + 1")
    else()
      file(SIZE "${tree}/${entry}" size)
      math(EXPR kibibytes "${kibibytes} + (${size} + 1023) / 1024")
    endif()
  endforeach()
  file(READ "${tree}/DEBIAN/control" control)
  string(REGEX REPLACE "
Installed-Size: [0-9]+" "
Installed-Size: ${kibibytes}" control "${control}")
  file(WRITE "${tree}/DEBIAN/control" "${control}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -E env "SOURCE_DATE_EPOCH=${CPACK_MORVET_SOURCE_DATE_EPOCH}"
                          dpkg-deb --root-owner-group -Zxz --build "${tree}" "${package}"
                  RESULT_VARIABLE result OUTPUT_QUIET)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "dpkg-deb could not rebuild ${package}")
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()

# The zip still lists its members in the order the staging directory reads
# them, which differs between file systems, and records the builder's user
# and group ids: strip-nondeterminism sorts the members and clears those.
# Without it the zip would differ from another build of the same commit, so
# no zip is left to be taken for a release: the package step fails.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "[.]zip$")
    continue()
  endif()
  find_program(MORVET_STRIP_NONDETERMINISM strip-nondeterminism)
  if(NOT MORVET_STRIP_NONDETERMINISM)
    # CPack would still copy the zip out, and an older one stays beside it.
    get_filename_component(name "${package}" NAME)
    file(REMOVE "${package}" "${CPACK_PACKAGE_DIRECTORY}/${name}")
    message(FATAL_ERROR "strip-nondeterminism is missing (install the Debian package "
                        "strip-nondeterminism): without it the zip's member order and "
                        "owner ids depend on this machine, so ${name} is not made.")
  endif()
  execute_process(COMMAND "${MORVET_STRIP_NONDETERMINISM}" --type zip
                          --timestamp "${CPACK_MORVET_SOURCE_DATE_EPOCH}" "${package}"
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "strip-nondeterminism failed on ${package}")
  endif()
endforeach()
