# The C example against the command: the same bytes at each of the
# command's sizes. Run by ctest with COMMAND, EXAMPLE, MESH (without .kvx)
# and FOLDER set.
file(MAKE_DIRECTORY ${FOLDER})
foreach(pair "small;128" "medium;256" "large;512")
  list(GET pair 0 keyword)
  list(GET pair 1 size)
  execute_process(COMMAND ${COMMAND} ${keyword} ${MESH} command WORKING_DIRECTORY ${FOLDER} OUTPUT_QUIET
                  RESULT_VARIABLE command_result)
  execute_process(COMMAND ${EXAMPLE} ${MESH}.kvx ${FOLDER}/example.samples ${size} RESULT_VARIABLE example_result)
  if(NOT command_result EQUAL 0 OR NOT example_result EQUAL 0)
    message(FATAL_ERROR "at ${size}: the command gave ${command_result}, the example ${example_result}")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${FOLDER}/command.samples ${FOLDER}/example.samples
                  RESULT_VARIABLE different)
  if(different)
    message(FATAL_ERROR "at ${size} the C example's samples differ from the command's")
  endif()
endforeach()
