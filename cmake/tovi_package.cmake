# Release packages of what cmake --install installs (tovi_install.cmake), made with cpack in a
# build directory:
#   cpack --config build/native/CPackConfig.cmake   Debian packages, one per component:
#       libtoviipc0, libtoviipc-dev, toviipc-tools, python3-toviipc, and -dbgsym packages with
#       the debug information of the stripped binaries
#   cpack --config build/mingw/CPackConfig.cmake    toviipc-VERSION-win64.zip
# Sanitizer builds make none: their libraries need the sanitizer runtime loaded first.
if(NOT TARGET ToviIPC OR NOT TOVI_SANITIZE STREQUAL "" OR TOVI_FUZZ)
    return()
endif()

set(CPACK_PACKAGE_NAME toviipc)
set(CPACK_PACKAGE_VENDOR ToviIPC)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)

if(TOVI_WINDOWS)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Messages between processes on one machine")
    set(CPACK_SYSTEM_NAME win64)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
    include(CPack)
    return()
endif()

include(tovi_debian_package)
include(CPack)
