# Two builds of one commit give byte-identical programs and packages, in
# whatever directory and at whatever time they are made, so that anyone can
# check that a release was built from the source it names.
#
# The time stamped into archives is the last commit's time (the usual
# SOURCE_DATE_EPOCH convention; an environment value wins), or a fixed time
# where there is no git history, as in an unpacked source archive.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(MORVET_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  set(MORVET_SOURCE_DATE_EPOCH "")
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND "${GIT_EXECUTABLE}" log -1 --format=%ct
                    WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
                    OUTPUT_VARIABLE MORVET_SOURCE_DATE_EPOCH
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT MORVET_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    set(MORVET_SOURCE_DATE_EPOCH 1767225600) # 2026-01-01 00:00:00 UTC
  endif()
endif()
if(NOT MORVET_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is not a number of seconds: ${MORVET_SOURCE_DATE_EPOCH}")
endif()

if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  # No build directory or source directory in the objects: __FILE__ and the
  # debug information name the sources relative to the source directory
  # (so a debugger started there finds them). The binary directory comes
  # last, so it wins where it lies inside the source directory.
  # -Wdate-time: __DATE__ and __TIME__ would stamp the build time.
  add_compile_options(
    "$<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.>"
    "$<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${PROJECT_BINARY_DIR}=.>"
    "$<$<COMPILE_LANGUAGE:CXX>:-Wdate-time>")
endif()
if(MINGW)
  # The PE header's TimeDateStamp would otherwise be the link time.
  add_link_options(-Wl,--no-insert-timestamp)
endif()

# The packages' times and order: see cmake/cpack_reproducible.cmake.
set(CPACK_MORVET_SOURCE_DATE_EPOCH "${MORVET_SOURCE_DATE_EPOCH}")
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/cmake/cpack_reproducible.cmake")
set(CPACK_POST_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/cpack_reproducible.cmake")
