# The Windows half: zeltavo.exe and the Windows-side tests.
#
# The C++ runtime, libgcc and winpthread are linked statically, so the executables
# import system DLLs only; release builds are stripped. No link timestamp: two builds of
# the same sources give the same bytes. (ASLR with high-entropy addresses and DEP are
# the linker's defaults for this target.) The headers ask for Windows 6.0, as 64-bit
# programs conventionally do (nothing older has Direct3D 11), where ld would write 4.0
# and 5.2.
add_link_options(-static $<$<CONFIG:Release>:-s> -Wl,--no-insert-timestamp
    -Wl,--major-os-version,6,--minor-os-version,0
    -Wl,--major-subsystem-version,6,--minor-subsystem-version,0)
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

set(ZELTAVO_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH
    "Wine prefix in which tests run Windows programs without a display")
set(ZELTAVO_X11_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix-x11 CACHE PATH
    "Wine prefix in which tests run Windows programs on an X server, one at a time")

# Debian ships GoogleTest as source for exactly this: building it with another toolchain.
set(ZELTAVO_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${ZELTAVO_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# The program throws no exceptions and asks no run-time type information: its own code
# is built without either (the build tools and tests keep both).
set(ZELTAVO_PROGRAM_OPTIONS -fno-exceptions -fno-rtti)

add_subdirectory(tools/shader_compiler)
add_subdirectory(shaders)
add_subdirectory(render)
add_subdirectory(app)
add_subdirectory(tools/frame_capture)
include(cmake/Release.cmake)
