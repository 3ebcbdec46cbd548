# The release archive, zeltavo-<project version>-win64.zip in ZELTAVO_RELEASE_DIR: the
# program, README.txt and LICENSE.txt with Windows line ends, and SHA256SUMS of the
# three (tools/build/pack-release). Built on request only (target release), never by
# default.
set(ZELTAVO_RELEASE_DIR ${CMAKE_BINARY_DIR} CACHE PATH
    "Folder the release archive is written to")
set(release_archive ${ZELTAVO_RELEASE_DIR}/zeltavo-${PROJECT_VERSION}-win64.zip)
set(release_text ${CMAKE_BINARY_DIR}/release)

configure_file(${PROJECT_SOURCE_DIR}/docs/README.txt.in ${release_text}/README.txt
    @ONLY NEWLINE_STYLE CRLF)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${release_text}/LICENSE.txt
    @ONLY NEWLINE_STYLE CRLF)

# Only an optimised, stripped build goes out: the link strips Release builds alone
# (cmake/WindowsBuild.cmake), and the other types are unoptimised or keep their symbols.
string(TOUPPER "${CMAKE_BUILD_TYPE}" build_type)
if(NOT build_type STREQUAL "RELEASE")
    add_custom_target(release
        COMMAND ${CMAKE_COMMAND} -E echo "release: refused: the Windows tree is a ${CMAKE_BUILD_TYPE} build, and the archive takes only a Release build, optimised and stripped"
        COMMAND ${CMAKE_COMMAND} -E false
        VERBATIM)
    return()
endif()

add_custom_command(OUTPUT ${release_archive}
    COMMAND ${PROJECT_SOURCE_DIR}/tools/build/pack-release ${release_archive}
        $<TARGET_FILE:zeltavo> ${release_text}/README.txt ${release_text}/LICENSE.txt
    DEPENDS zeltavo ${PROJECT_SOURCE_DIR}/tools/build/pack-release
        ${release_text}/README.txt ${release_text}/LICENSE.txt
    COMMENT "Packing the release archive"
    VERBATIM)
add_custom_target(release DEPENDS ${release_archive})
