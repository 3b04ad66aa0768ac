# The Debian packages, one per install component (tovi_install.cmake), for prefix /usr:
#   libtoviipc0      the two shared libraries; ldconfig runs through a trigger, and shlibs and
#                    symbols files give dependent packages their dependency on it
#   libtoviipc-dev   headers, link names, CMake and pkg-config files, man3 pages, examples
#   toviipc-tools    the toviipc tool and its manual page
#   python3-toviipc  the Python package with its dist-info (architecture all)
# The binaries are stripped; their debug information goes to -dbgsym packages. Dependencies on
# the C and C++ runtimes come from the binaries (dpkg-shlibdeps, in dpkg-dev).
set(TOVI_PACKAGE_MAINTAINER
    "ToviIPC maintainers <maintainers@users.noreply.c-seed-457a8a9c.example>"
    CACHE STRING "The Maintainer of the Debian packages")
if(NOT CMAKE_INSTALL_LIBDIR MATCHES "^lib/${CMAKE_LIBRARY_ARCHITECTURE}$")
    message(STATUS "The Debian packages' libraries belong in lib/${CMAKE_LIBRARY_ARCHITECTURE}, "
        "not in ${CMAKE_INSTALL_LIBDIR}: leave CMAKE_INSTALL_LIBDIR unset to make them")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development python)
if(TARGET toviipc)
    list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/tovi_debian_fixup.cmake)
set(CPACK_TOVI_SOVERSION ${TOVI_SOVERSION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TOVI_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(debian ${PROJECT_SOURCE_DIR}/cmake/debian)
set(control ${CMAKE_BINARY_DIR}/debian)
configure_file(${debian}/libtoviipc0.shlibs.in ${control}/libtoviipc0/shlibs @ONLY)
configure_file(${debian}/libtoviipc0.symbols.in ${control}/libtoviipc0/symbols @ONLY)
configure_file(${debian}/libtoviipc0.triggers ${control}/libtoviipc0/triggers COPYONLY)
configure_file(${debian}/python3-toviipc.postinst ${control}/python3-toviipc/postinst COPYONLY)
configure_file(${debian}/python3-toviipc.prerm ${control}/python3-toviipc/prerm COPYONLY)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${TOVI_PACKAGE_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_MULTIARCH same)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${control}/libtoviipc0/shlibs ${control}/libtoviipc0/symbols ${control}/libtoviipc0/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "messages between processes on one machine
ToviIPC lets local processes talk by name: servers and clients exchange texts
and byte streams over pipes, with heart beats that find hung peers, and a
client hands bulk data to a reader process through a shared-memory block.
This package holds the shared library, the reader library of that block and
the events library for hosts with an event loop of their own.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${TOVI_PACKAGE_development})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${TOVI_PACKAGE_runtime} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_MULTIARCH same)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "messages between processes on one machine - development files
ToviIPC lets local processes talk by name over pipes and hand bulk data to a
reader through a shared-memory block. This package holds the C headers, the
link names of the libraries, CMake and pkg-config files, the manual pages
toviipc(3), toviipc_shm(3) and toviipc_events(3), and example programs.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${TOVI_PACKAGE_tools})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_TOOLS_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${TOVI_PACKAGE_runtime} (= ${PROJECT_VERSION})")
# dpkg-shlibdeps finds the libraries the tool links in the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/src)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "messages between processes on one machine - command-line tool
The toviipc tool hosts ToviIPC endpoints from the command line: a server that
prints what its clients send (and can echo it or take commands), a client that
sends texts, bytes and shared-memory writes, and a reader of the shared-memory
block, with JSON output for scripts and a self-checking demonstration.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${TOVI_PACKAGE_python})
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3, ${TOVI_PACKAGE_runtime} (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
    ${control}/python3-toviipc/postinst ${control}/python3-toviipc/prerm)
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "messages between processes on one machine - Python 3 package
The toviipc package gives Python programs ToviIPC servers, clients and
shared-memory readers over the installed libraries (ctypes, nothing compiled),
with typed events, an asyncio iterator, and python3 -m toviipc, which mirrors
the command-line tool.")
