# Release packages of what cmake --install installs (tovi_install.cmake), made with cpack in a
# build directory: a Debian package natively, a zip for the Windows build.
#   cpack --config build/native/CPackConfig.cmake     toviipc_0.1.0_amd64.deb
#   cpack --config build/mingw/CPackConfig.cmake      toviipc-0.1.0-win64.zip
# Sanitizer builds make none: their libraries need the sanitizer runtime loaded first.
if(NOT TARGET ToviIPC OR NOT TOVI_SANITIZE STREQUAL "" OR TOVI_FUZZ)
    return()
endif()

set(CPACK_PACKAGE_NAME toviipc)
set(CPACK_PACKAGE_VENDOR ToviIPC)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Messages between processes on one machine")
set(CPACK_PACKAGE_DESCRIPTION
    "A library for local processes that talk by name: servers and clients exchange texts and
byte streams over pipes, and a client hands bulk data to a reader process through a
shared-memory block. Contains the library, the shared-memory reader library, their headers,
CMake and pkg-config files, the toviipc command-line tool, the Python package and examples.")
set(CPACK_PACKAGE_CONTACT "ToviIPC developers")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)

if(TOVI_WINDOWS)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_SYSTEM_NAME win64)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION libs)
    # Dependencies on the C and C++ runtimes, from the binaries (dpkg-shlibdeps, in dpkg-dev).
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
