# cmake --install: the headers, the shared library and the reader library (with their import
# libraries on Windows), a CMake package giving the imported targets ToviIPC::ToviIPC and
# ToviIPC::ToviIPCReader with a version file, a pkg-config file for each library, the toviipc
# tool, the examples' sources, the Python package and the README. tovi_package.cmake makes
# release packages of the same files.
if(NOT TARGET ToviIPC)
    return()
endif()
include(CMakePackageConfigHelpers)

set(TOVI_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ToviIPC)

install(TARGETS ToviIPC ToviIPCReader EXPORT ToviIPCTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/toviipc.h ${PROJECT_SOURCE_DIR}/include/toviipc_shm.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
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
# tovi_pkg_config_file(FILE TARGET NAME DESCRIPTION LINK_NAME)
function(tovi_pkg_config_file file target name description link_name)
    set(TOVI_PC_NAME ${name})
    set(TOVI_PC_DESCRIPTION ${description})
    if(TOVI_WINDOWS)
        # The import library by its full name: a consumer linked with -static would not find a
        # .dll.a through -l.
        set(TOVI_PC_LIBS "\${libdir}/$<TARGET_LINKER_FILE_NAME:${target}>")
    else()
        set(TOVI_PC_LIBS "-L\${libdir} -l${link_name}")
    endif()
    configure_file(${PROJECT_SOURCE_DIR}/cmake/toviipc.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${file}.in
        @ONLY)
    file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${file}
        INPUT ${CMAKE_CURRENT_BINARY_DIR}/${file}.in)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${file}
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
tovi_pkg_config_file(toviipc.pc ToviIPC ToviIPC "Messages between processes on one machine"
    toviipc)
tovi_pkg_config_file(toviipc-reader.pc ToviIPCReader ToviIPCReader
    "Reader of the shared-memory blocks that ToviIPC clients write" toviipc_reader)

# Sources to learn from, the README, and the Python package (pure Python: it loads the
# installed libraries). On Windows they go to the top of the tree, as a zip user expects.
if(TOVI_WINDOWS)
    set(TOVI_DOC_DESTINATION .)
    set(TOVI_PYTHON_DESTINATION python)
else()
    set(TOVI_DOC_DESTINATION ${CMAKE_INSTALL_DOCDIR})
    set(TOVI_PYTHON_DESTINATION lib/python3/dist-packages)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${TOVI_DOC_DESTINATION})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${TOVI_DOC_DESTINATION}/examples
    FILES_MATCHING PATTERN "*.c" PATTERN "*.h")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/toviipc DESTINATION ${TOVI_PYTHON_DESTINATION}
    FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)

if(TARGET toviipc)
    install(TARGETS toviipc RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
