# cmake --install: the header, the shared library (with its import library on Windows), a
# CMake package giving the imported target ToviIPC::ToviIPC with a version file, a pkg-config
# file, and the toviipc tool.
if(NOT TARGET ToviIPC)
    return()
endif()
include(CMakePackageConfigHelpers)

set(TOVI_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ToviIPC)

install(TARGETS ToviIPC EXPORT ToviIPCTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/toviipc.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT ToviIPCTargets NAMESPACE ToviIPC:: DESTINATION ${TOVI_CMAKE_PACKAGE_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ToviIPCConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/ToviIPCConfig.cmake INSTALL_DESTINATION ${TOVI_CMAKE_PACKAGE_DIR})
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ToviIPCConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ToviIPCConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/ToviIPCConfigVersion.cmake DESTINATION ${TOVI_CMAKE_PACKAGE_DIR})

# The .pc file finds its prefix from its own place, so the installed tree can be moved.
file(RELATIVE_PATH TOVI_PC_PREFIX_FROM_PCFILEDIR
    /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" TOVI_PC_PREFIX_FROM_PCFILEDIR "${TOVI_PC_PREFIX_FROM_PCFILEDIR}")
if(TOVI_WINDOWS)
    # The import library by its full name: a consumer linked with -static would not find a
    # .dll.a through -l.
    set(TOVI_PC_LIBS "\${libdir}/$<TARGET_LINKER_FILE_NAME:ToviIPC>")
else()
    set(TOVI_PC_LIBS "-L\${libdir} -ltoviipc")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/toviipc.pc.in ${CMAKE_CURRENT_BINARY_DIR}/toviipc.pc.in
    @ONLY)
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/toviipc.pc
    INPUT ${CMAKE_CURRENT_BINARY_DIR}/toviipc.pc.in)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/toviipc.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(TARGET toviipc)
    install(TARGETS toviipc RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
