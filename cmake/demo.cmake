# Runs morvet on a copy of the example STAPL file and shows what changed.
# Invoked by the demo target with MORVET, EXAMPLE and WORK set.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
get_filename_component(name "${EXAMPLE}" NAME)
file(COPY_FILE "${EXAMPLE}" "${WORK}/original-${name}")
file(COPY_FILE "${EXAMPLE}" "${WORK}/${name}")

execute_process(COMMAND "${MORVET}" "${name}"
                WORKING_DIRECTORY "${WORK}"
                RESULT_VARIABLE status
                OUTPUT_VARIABLE output)
message(STATUS "morvet ${name}: exit status ${status}${output}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "morvet failed on the example")
endif()

find_program(DIFF diff)
if(DIFF)
  # diff exits 1 when the files differ, which is the point here.
  execute_process(COMMAND "${DIFF}" -u --label before --label after
                          "original-${name}" "${name}"
                  WORKING_DIRECTORY "${WORK}")
else()
  file(READ "${WORK}/${name}" patched)
  message("${patched}")
endif()
message(STATUS "The patched copy is ${WORK}/${name}")
