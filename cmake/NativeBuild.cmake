# The native half: test frameworks from Debian, and the Windows half as an external
# project of the same source tree, configured with the mingw-w64 toolchain.
find_package(GTest REQUIRED)
find_package(benchmark REQUIRED)
include(GoogleTest)
include(ExternalProject)

# Two prefixes: Wine's session takes its display from the first program that starts it,
# so programs on an X server never share a Wine server with those without one.
set(ZELTAVO_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH
    "Wine prefix in which tests run Windows programs without a display")
set(ZELTAVO_X11_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix-x11 CACHE PATH
    "Wine prefix in which tests run Windows programs on an X server, one at a time")
set(ZELTAVO_WINDOWS_BINARY_DIR ${CMAKE_BINARY_DIR}/windows)

# Generated assets: the mesh (raw vertex bytes, then raw index bytes) and the music track.
set(ZELTAVO_MESH_FILE ${CMAKE_BINARY_DIR}/assets/mesh.bin)
set(ZELTAVO_MUSIC_FILE ${CMAKE_BINARY_DIR}/assets/music.wav)
# The timeline's constants for the Python tools and the rig, which read this file.
set(ZELTAVO_CONSTANTS_FILE ${CMAKE_BINARY_DIR}/timeline_constants.json)
add_subdirectory(tools)

ExternalProject_Add(windows
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${ZELTAVO_WINDOWS_BINARY_DIR}
    CMAKE_ARGS
        -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake
        -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
        -DZELTAVO_WARNINGS_AS_ERRORS=${ZELTAVO_WARNINGS_AS_ERRORS}
        -DZELTAVO_WINEPREFIX=${ZELTAVO_WINEPREFIX}
        -DZELTAVO_X11_WINEPREFIX=${ZELTAVO_X11_WINEPREFIX}
        -DZELTAVO_MESH_FILE=${ZELTAVO_MESH_FILE}
        -DZELTAVO_MUSIC_FILE=${ZELTAVO_MUSIC_FILE}
        -DZELTAVO_RELEASE_DIR=${CMAKE_BINARY_DIR}
    DEPENDS mesh_data music_data
    BUILD_ALWAYS TRUE
    INSTALL_COMMAND "")

# The release archive is packed by the Windows tree (cmake/Release.cmake), where the
# reproducibility test can build it too, and written here: build/zeltavo-*-win64.zip.
add_custom_target(release
    COMMAND ${CMAKE_COMMAND} --build ${ZELTAVO_WINDOWS_BINARY_DIR} --target release
    DEPENDS windows
    VERBATIM)

# One ctest run covers both halves: the Windows tree's tests are listed as a
# subdirectory of this one.
file(WRITE ${CMAKE_BINARY_DIR}/windows-tests.cmake "subdirs(\"${ZELTAVO_WINDOWS_BINARY_DIR}\")\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/windows-tests.cmake)
