# cmake --install, in four components that tovi_package.cmake makes into packages:
#   runtime      the shared library, the reader and the events libraries (on Windows the DLLs)
#   development  the headers, the libraries' link names or import libraries, a CMake package
#                (imported targets ToviIPC::ToviIPC, ::ToviIPCReader and ::ToviIPCEvents, with a version
#                file), a pkg-config file for each library, the C manual pages, the examples'
#                sources and the README
#   tools        the toviipc tool and its manual page
#   python       the Python package (tovi_python_wheel.cmake)
# Elsewhere than on Windows every component also installs its package's copyright file and
# changelog into share/doc/PACKAGE.
if(NOT TARGET ToviIPC)
    return()
endif()
include(CMakePackageConfigHelpers)

set(TOVI_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ToviIPC)
# The Debian package of each component; its documentation directory is named after it.
set(TOVI_PACKAGE_runtime libtoviipc${TOVI_SOVERSION})
set(TOVI_PACKAGE_development libtoviipc-dev)
set(TOVI_PACKAGE_tools toviipc-tools)
set(TOVI_PACKAGE_python python3-toviipc)

install(TARGETS ToviIPC ToviIPCReader ToviIPCEvents EXPORT ToviIPCTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(FILES ${TOVI_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    COMPONENT development)
install(EXPORT ToviIPCTargets NAMESPACE ToviIPC:: DESTINATION ${TOVI_CMAKE_PACKAGE_DIR}
    COMPONENT development)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ToviIPCConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/ToviIPCConfig.cmake INSTALL_DESTINATION ${TOVI_CMAKE_PACKAGE_DIR})
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ToviIPCConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ToviIPCConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/ToviIPCConfigVersion.cmake DESTINATION ${TOVI_CMAKE_PACKAGE_DIR}
    COMPONENT development)

# Sources to learn from and the README. On Windows they go to the top of the tree, as a zip
# user expects.
if(TOVI_WINDOWS)
    set(TOVI_DOC_DESTINATION .)
else()
    set(TOVI_DOC_DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${TOVI_PACKAGE_development})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${TOVI_DOC_DESTINATION}
    COMPONENT development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${TOVI_DOC_DESTINATION}/examples
    COMPONENT development FILES_MATCHING PATTERN "*.c" PATTERN "*.h")

if(TARGET toviipc)
    install(TARGETS toviipc RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()

include(tovi_pkg_config)
include(tovi_man_pages)
include(tovi_python_wheel)

# The copyright file and the changelog of each package (compressed as Debian wants it: gzip -9n,
# no time stamp).
if(NOT TOVI_WINDOWS)
    find_program(TOVI_GZIP gzip REQUIRED)
    set(changelog ${CMAKE_BINARY_DIR}/debian/changelog.gz)
    add_custom_command(OUTPUT ${changelog}
        COMMAND ${TOVI_GZIP} -9nc ${PROJECT_SOURCE_DIR}/cmake/debian/changelog > ${changelog}
        DEPENDS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog VERBATIM)
    add_custom_target(tovi_changelog ALL DEPENDS ${changelog})
    set(components runtime development python)
    if(TARGET toviipc)
        list(APPEND components tools)
    endif()
    foreach(component ${components})
        install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${changelog}
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${TOVI_PACKAGE_${component}}
            COMPONENT ${component})
    endforeach()
endif()
