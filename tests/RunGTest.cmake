# Runs a GoogleTest program and passes only if it exits with code 0 after printing its
# summary of passed tests: ctest's PASS_REGULAR_EXPRESSION alone would replace the
# exit-code check, so a crash after the summary (in the release of the process-wide
# objects at exit, say) would pass, and its exit-code check alone would pass a program
# that ended before running any test.
#
#   cmake [-DTESTS=<count>] -P RunGTest.cmake PROGRAM [ARGUMENTS...]
#
# TESTS is the number of tests that must pass, as a filtered run expects; without it,
# any number but none.
foreach(i RANGE ${CMAKE_ARGC})
    if(CMAKE_ARGV${i} STREQUAL "-P")
        math(EXPR first "${i} + 2")
        break()
    endif()
endforeach()
set(command)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE ${first} ${last})
    list(APPEND command "${CMAKE_ARGV${i}}")
endforeach()

execute_process(COMMAND ${command} RESULT_VARIABLE result
    OUTPUT_VARIABLE output ERROR_VARIABLE output)
message("${output}")
if(NOT result STREQUAL "0")
    message(FATAL_ERROR "the test program exited with ${result}")
endif()
if(NOT DEFINED TESTS)
    set(TESTS "[1-9][0-9]*")
endif()
set(summary "\\[  PASSED  \\] ${TESTS} tests?\\.")
if(NOT output MATCHES "${summary}")
    message(FATAL_ERROR "no summary line matching ${summary}")
endif()
