# The project version (project() in the top CMakeLists.txt) is the one version of everything:
# the libraries' file names, the Windows binaries' VERSIONINFO resource, the packages, the man
# pages and the tool all take it from here. Three files that must be readable without CMake
# keep a copy, checked here so that a version change cannot miss them: the public header's
# TOVIIPC_VERSION_* macros (a host compiles against the header as it stands), the Python
# package's _version.py (pip builds it from python/ alone) and the first entry of the Debian
# changelog.

# The ABI version, the number in the libraries' SONAME (libtoviipc.so.0): raised only when the
# exported interface changes incompatibly.
set(TOVI_SOVERSION 0)

set(TOVI_INCLUDE_DIR ${PROJECT_SOURCE_DIR}/include)
set(TOVI_PUBLIC_HEADERS ${TOVI_INCLUDE_DIR}/toviipc.h ${TOVI_INCLUDE_DIR}/toviipc_shm.h
    ${TOVI_INCLUDE_DIR}/toviipc_events.h)
foreach(part MAJOR MINOR PATCH)
    file(STRINGS ${TOVI_INCLUDE_DIR}/toviipc.h tovi_header_line
        REGEX "^#define TOVIIPC_VERSION_${part} ")
    if(NOT tovi_header_line STREQUAL "#define TOVIIPC_VERSION_${part} ${PROJECT_VERSION_${part}}")
        message(FATAL_ERROR "include/toviipc.h says '${tovi_header_line}'; the project version "
            "is ${PROJECT_VERSION}")
    endif()
endforeach()
file(STRINGS ${TOVI_INCLUDE_DIR}/toviipc.h tovi_header_line REGEX "^#define TOVIIPC_VERSION_STRING ")
if(NOT tovi_header_line STREQUAL "#define TOVIIPC_VERSION_STRING \"${PROJECT_VERSION}\"")
    message(FATAL_ERROR "include/toviipc.h says '${tovi_header_line}'; the project version is "
        "${PROJECT_VERSION}")
endif()

file(STRINGS ${PROJECT_SOURCE_DIR}/python/toviipc/_version.py tovi_python_version
    REGEX "^__version__ = ")
if(NOT tovi_python_version STREQUAL "__version__ = \"${PROJECT_VERSION}\"")
    message(FATAL_ERROR "python/toviipc/_version.py says ${tovi_python_version}; the project "
        "version is ${PROJECT_VERSION}")
endif()
file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog tovi_changelog_top LIMIT_COUNT 1)
if(NOT tovi_changelog_top MATCHES "^toviipc \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "cmake/debian/changelog begins with '${tovi_changelog_top}'; add an "
        "entry for ${PROJECT_VERSION}")
endif()

# tovi_version_resource(TARGET DESCRIPTION): on Windows, a VERSIONINFO resource with the
# project's version, the product name and this description of the file.
function(tovi_version_resource target description)
    if(NOT TOVI_WINDOWS)
        return()
    endif()
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
        set(TOVI_RC_FILE_TYPE VFT_APP)
    else()
        set(TOVI_RC_FILE_TYPE VFT_DLL)
    endif()
    set(TOVI_RC_DESCRIPTION ${description})
    set(TOVI_RC_FILE_NAME $<TARGET_FILE_NAME:${target}>)
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc}.in @ONLY)
    file(GENERATE OUTPUT ${rc} INPUT ${rc}.in)
    target_sources(${target} PRIVATE ${rc})
endfunction()
