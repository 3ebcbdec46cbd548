# Runs the timeline trace built natively and the one built for Windows (under the
# emulator) and fails on the first line where the two differ.
#   cmake -DNATIVE=... -DWINDOWS=... -DEMULATOR=... -P CompareTraces.cmake
execute_process(COMMAND ${NATIVE} OUTPUT_VARIABLE native RESULT_VARIABLE nativeResult)
execute_process(COMMAND ${EMULATOR} ${WINDOWS} OUTPUT_VARIABLE windows
                RESULT_VARIABLE windowsResult)
if(NOT nativeResult EQUAL 0 OR NOT windowsResult EQUAL 0)
    message(FATAL_ERROR "trace failed: native ${nativeResult}, windows ${windowsResult}")
endif()

# The Windows C runtime writes text-mode line ends.
string(REPLACE "\r\n" "\n" windows "${windows}")
string(REPLACE ";" "," native "${native}")
string(REPLACE ";" "," windows "${windows}")
string(REPLACE "\n" ";" nativeLines "${native}")
string(REPLACE "\n" ";" windowsLines "${windows}")
list(LENGTH nativeLines nativeCount)
list(LENGTH windowsLines windowsCount)
if(nativeCount LESS 60000)
    message(FATAL_ERROR "native trace has only ${nativeCount} lines")
endif()
if(NOT native STREQUAL windows)
    foreach(line IN ZIP_LISTS nativeLines windowsLines)
        if(NOT line_0 STREQUAL line_1)
            message(FATAL_ERROR "builds differ:\n native:  ${line_0}\n windows: ${line_1}")
        endif()
    endforeach()
    message(FATAL_ERROR "builds differ in length: ${nativeCount} against ${windowsCount} lines")
endif()
message(STATUS "${nativeCount} lines identical")
