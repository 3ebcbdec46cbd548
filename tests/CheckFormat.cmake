# Fails when a C++ source of the project differs from what clang-format makes of it.
#   cmake -DSOURCE_DIR=... -P CheckFormat.cmake
find_program(CLANG_FORMAT NAMES clang-format-14 clang-format REQUIRED)
file(GLOB_RECURSE sources
    ${SOURCE_DIR}/app/*.cpp ${SOURCE_DIR}/app/*.h
    ${SOURCE_DIR}/timeline/*.cpp ${SOURCE_DIR}/timeline/*.h
    ${SOURCE_DIR}/render/*.cpp ${SOURCE_DIR}/render/*.h
    ${SOURCE_DIR}/assets/*.cpp ${SOURCE_DIR}/assets/*.h
    ${SOURCE_DIR}/tools/*.cpp ${SOURCE_DIR}/tools/*.h
    ${SOURCE_DIR}/tests/*.cpp ${SOURCE_DIR}/tests/*.h)
list(LENGTH sources count)
execute_process(COMMAND ${CLANG_FORMAT} --dry-run --Werror --style=file ${sources}
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "clang-format would change the files above; run tools/format")
endif()
message(STATUS "${count} files formatted")
