# Builds zeltavo.exe twice from the same sources in two fresh folders and fails unless
# the two executables are identical to the byte.
#   cmake -DSOURCE_DIR=.. -DWORK_DIR=.. -DMESH_FILE=.. -DMUSIC_FILE=.. -DWINEPREFIX=..
#         -P CompareBuilds.cmake
file(REMOVE_RECURSE ${WORK_DIR})
foreach(tree first second)
    execute_process(
        COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/${tree} -G Ninja
            -DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake
            -DCMAKE_BUILD_TYPE=Release
            -DZELTAVO_MESH_FILE=${MESH_FILE} -DZELTAVO_MUSIC_FILE=${MUSIC_FILE}
            -DZELTAVO_WINEPREFIX=${WINEPREFIX}
        OUTPUT_QUIET
        COMMAND_ERROR_IS_FATAL ANY)
    execute_process(
        COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/${tree} --target zeltavo
        OUTPUT_QUIET
        COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(SHA256 ${WORK_DIR}/first/bin/zeltavo.exe first)
file(SHA256 ${WORK_DIR}/second/bin/zeltavo.exe second)
if(NOT first STREQUAL second)
    message(FATAL_ERROR "two builds differ:\n  ${first}\n  ${second}")
endif()
file(SIZE ${WORK_DIR}/first/bin/zeltavo.exe size)
message(STATUS "two builds in separate folders: ${size} bytes each, SHA-256 ${first}")
file(REMOVE_RECURSE ${WORK_DIR})
