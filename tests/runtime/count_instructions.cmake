# Runs PROGRAM under callgrind and fails unless it executes at least
# MIN_INSTRUCTIONS instructions.
execute_process(COMMAND ${VALGRIND} --tool=callgrind --callgrind-out-file=/dev/null ${PROGRAM}
                INPUT_FILE /dev/null OUTPUT_QUIET ERROR_VARIABLE log RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "callgrind run failed (${status}):\n${log}")
endif()
string(REGEX MATCH "refs: +([0-9,]+)" _ "${log}")
string(REPLACE "," "" count "${CMAKE_MATCH_1}")
if(count LESS MIN_INSTRUCTIONS)
  message(FATAL_ERROR "only ${count} instructions executed; at least ${MIN_INSTRUCTIONS} expected")
endif()
message(STATUS "${count} instructions executed (at least ${MIN_INSTRUCTIONS} expected)")
