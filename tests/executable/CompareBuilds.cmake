# Builds zeltavo.exe and the release archive twice from the same sources in two fresh
# folders and fails unless the two executables and the two archives are identical to
# the byte, or unless the archive holds anything but the built program, README.txt and
# LICENSE.txt with Windows line ends, and SHA256SUMS of those three.
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
        COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/${tree} --target release
        OUTPUT_QUIET
        COMMAND_ERROR_IS_FATAL ANY)
    file(GLOB archive ${WORK_DIR}/${tree}/zeltavo-*-win64.zip)
    list(LENGTH archive count)
    if(NOT count EQUAL 1)
        message(FATAL_ERROR "${tree} build: ${count} release archives, expected one")
    endif()
    set(archive_${tree} ${archive})
    file(SHA256 ${WORK_DIR}/${tree}/bin/zeltavo.exe program_sum_${tree})
    file(SHA256 ${archive} archive_sum_${tree})
endforeach()
if(NOT program_sum_first STREQUAL program_sum_second)
    message(FATAL_ERROR "two builds give different executables:\n"
        "  ${program_sum_first}\n  ${program_sum_second}")
endif()
if(NOT archive_sum_first STREQUAL archive_sum_second)
    message(FATAL_ERROR "two builds give different release archives:\n"
        "  ${archive_sum_first}\n  ${archive_sum_second}")
endif()
file(SIZE ${WORK_DIR}/first/bin/zeltavo.exe program_size)
file(SIZE ${archive_first} archive_size)
message(STATUS "two builds in separate folders, identical: zeltavo.exe ${program_size} "
    "bytes, SHA-256 ${program_sum_first}; release archive ${archive_size} bytes, "
    "SHA-256 ${archive_sum_first}")

# What a user unpacks: exactly these four files, the program the build made, text with
# Windows line ends, and sums that match.
set(unpacked ${WORK_DIR}/unpacked)
file(ARCHIVE_EXTRACT INPUT ${archive_first} DESTINATION ${unpacked})
file(GLOB contents RELATIVE ${unpacked} ${unpacked}/*)
list(SORT contents)
if(NOT contents STREQUAL "LICENSE.txt;README.txt;SHA256SUMS;zeltavo.exe")
    message(FATAL_ERROR "the archive holds ${contents}")
endif()
file(SHA256 ${unpacked}/zeltavo.exe unpacked_program)
if(NOT unpacked_program STREQUAL program_sum_first)
    message(FATAL_ERROR "the archive's zeltavo.exe is not the one the build made")
endif()
set(expected_sums "")
foreach(name zeltavo.exe README.txt LICENSE.txt)
    file(SHA256 ${unpacked}/${name} sum)
    string(APPEND expected_sums "${sum}  ${name}\n")
    if(NOT name MATCHES "\\.exe$")
        # In hexadecimal, as file(READ) drops carriage returns from text: no CR or LF
        # byte may be left once the CR LF pairs are taken out.
        file(READ ${unpacked}/${name} text HEX)
        string(REPLACE "0d0a" "" bare "${text}")
        if(NOT text MATCHES "0d0a$" OR bare MATCHES "^(..)*(0a|0d)")
            message(FATAL_ERROR "${name} has line ends other than CR LF")
        endif()
    endif()
endforeach()
file(READ ${unpacked}/SHA256SUMS sums)
if(NOT sums STREQUAL expected_sums)
    message(FATAL_ERROR "SHA256SUMS does not match the files:\n${sums}")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
