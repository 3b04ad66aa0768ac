# What a user installs, checked as a user would use it. Natively: cmake --install into a
# temporary prefix; then the Debian packages that cpack makes, each of which must pass lintian
# without an error or a warning, unpacked into a scratch root (dpkg -x). For Windows: the zip.
# Against each tree it checks the files, then configures and builds the consumer project
# (consumer/) with the tree's own examples, through find_package(ToviIPC) and through
# pkg-config, and runs both consumers. From the packages it also runs the tool and the Python
# package, which must find the libraries of their tree and tell the project's version.
#
# cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=... -DGENERATOR=... -DLIBDIR=...
#       -DVERSION=... -DWINDOWS=ON|OFF -DCPACK=... [-DDPKG_DEB=... -DLINTIAN=... -DPYTHON=...]
#       [-DTOOLCHAIN_FILE=...] [-DEMULATOR=...] -P run_install_test.cmake
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
        string(REPLACE ";" " " shown "${ARGN}")
        message(FATAL_ERROR "failed (${rc}): ${shown}\n${out}")
    endif()
    set(last_output "${out}" PARENT_SCOPE)
endfunction()

# Checks what a tree holds, then builds and runs the consumers against it in WORK_DIR/build-TAG.
# The tree's files are under ROOT/PREFIX; a pkg-config file names PREFIX, which pkg-config
# finds under ROOT (PKG_CONFIG_SYSROOT_DIR, as for a cross build).
function(consume root prefix tag)
    set(tree ${root}${prefix})
    set(expected include/toviipc.h include/toviipc_shm.h include/toviipc_events.h
        ${LIBDIR}/cmake/ToviIPC/ToviIPCConfig.cmake
        ${LIBDIR}/cmake/ToviIPC/ToviIPCConfigVersion.cmake ${LIBDIR}/pkgconfig/toviipc.pc
        ${LIBDIR}/pkgconfig/toviipc-reader.pc ${LIBDIR}/pkgconfig/toviipc-events.pc)
    if(WINDOWS)
        set(examples ${tree}/examples)
        list(APPEND expected bin/ToviIPC.dll bin/ToviIPCReader.dll bin/ToviIPCEvents.dll
            ${LIBDIR}/libToviIPC.dll.a ${LIBDIR}/libToviIPCReader.dll.a
            ${LIBDIR}/libToviIPCEvents.dll.a bin/toviipc.exe README.md examples/shm_reader.c
            python/toviipc/__init__.py python/toviipc/py.typed)
    else()
        set(examples ${tree}/share/doc/libtoviipc-dev/examples)
        list(APPEND expected ${LIBDIR}/libtoviipc.so.${VERSION} ${LIBDIR}/libtoviipc.so.0
            ${LIBDIR}/libtoviipc.so ${LIBDIR}/libtoviipc_reader.so.0 ${LIBDIR}/libtoviipc_reader.so
            ${LIBDIR}/libtoviipc_events.so.0 ${LIBDIR}/libtoviipc_events.so
            bin/toviipc share/man/man1/toviipc.1.gz share/man/man3/toviipc.3.gz
            share/man/man3/toviipc_shm.3.gz share/man/man3/toviipc_events.3.gz share/doc/libtoviipc0/copyright
            share/doc/libtoviipc-dev/README.md
            lib/python3/dist-packages/toviipc-${VERSION}.dist-info/METADATA
            lib/python3/dist-packages/toviipc/py.typed)
    endif()
    foreach(file ${expected})
        if(NOT EXISTS ${tree}/${file})
            message(FATAL_ERROR "${tag}: missing ${file}")
        endif()
    endforeach()
    if(NOT WINDOWS)
        file(STRINGS ${tree}/${LIBDIR}/pkgconfig/toviipc.pc pc_prefix REGEX "^prefix=")
        if(NOT pc_prefix STREQUAL "prefix=${prefix}")
            message(FATAL_ERROR "${tag}: toviipc.pc says ${pc_prefix}, not prefix=${prefix}")
        endif()
    endif()

    # A cross build finds packages only under its root path; name the package's place instead.
    set(build ${WORK_DIR}/build-${tag})
    set(configure ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${tree}/${LIBDIR}/pkgconfig
        PKG_CONFIG_SYSROOT_DIR=${root} ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${build}
        -G ${GENERATOR} -DCMAKE_BUILD_TYPE=Release -DEXAMPLES_DIR=${examples})
    if(TOOLCHAIN_FILE)
        list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE}
            -DToviIPC_DIR=${tree}/${LIBDIR}/cmake/ToviIPC)
    else()
        list(APPEND configure -DCMAKE_PREFIX_PATH=${tree})
    endif()
    run(${configure})
    run(${CMAKE_COMMAND} --build ${build})

    if(WINDOWS)
        file(COPY ${tree}/bin/ToviIPC.dll ${tree}/bin/ToviIPCReader.dll DESTINATION ${build})
    endif()
    foreach(consumer consumer_cmake consumer_pkgconfig)
        if(EMULATOR)
            run(${EMULATOR} ${build}/${consumer}.exe install-test-${tag}-${consumer})
        else()
            run(${build}/${consumer} install-test-${tag}-${consumer})
        endif()
        message(STATUS "${tag}, ${consumer}: ${last_output}")
    endforeach()
    if(NOT WINDOWS)
        # The event-loop example, built against the installed events library, runs its round.
        run(${build}/poll_host_pkgconfig install-test-${tag}-poll)
    endif()
endfunction()

# Fails unless the output of a program of a tree is exactly expected.
function(expect_output expected)
    run(${ARGN})
    if(NOT last_output STREQUAL "${expected}\n")
        message(FATAL_ERROR "${ARGN}: printed '${last_output}', expected '${expected}'")
    endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})

if(WINDOWS)
    run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)
    consume(${WORK_DIR}/prefix "" prefix)
    run(${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR}/package)
    file(GLOB zip ${WORK_DIR}/package/toviipc-${VERSION}-win64.zip)
    file(MAKE_DIRECTORY ${WORK_DIR}/zip)
    run(${CMAKE_COMMAND} -E chdir ${WORK_DIR}/zip ${CMAKE_COMMAND} -E tar xf ${zip})
    consume(${WORK_DIR}/zip/toviipc-${VERSION}-win64 "" zip)
    return()
endif()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)
consume("" ${WORK_DIR}/prefix prefix)

run(${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR}/package)
set(packages libtoviipc0 libtoviipc-dev toviipc-tools python3-toviipc libtoviipc0-dbgsym
    toviipc-tools-dbgsym)
set(root ${WORK_DIR}/root)
set(files)
foreach(package ${packages})
    file(GLOB file ${WORK_DIR}/package/${package}_${VERSION}_*.*deb)
    if(NOT file)
        message(FATAL_ERROR "cpack made no package ${package}")
    endif()
    list(APPEND files ${file})
    run(${DPKG_DEB} -x ${file} ${root})
endforeach()
# lintian exits non-zero for any error or warning, and names each; one run checks them all.
run(${LINTIAN} --fail-on error,warning ${files})
message(STATUS "lintian: no error and no warning in ${packages}")
consume(${root} /usr deb)

set(env ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${root}/usr/${LIBDIR})
expect_output("toviipc ${VERSION}" ${env} ${root}/usr/bin/toviipc --version)
# No TOVIIPC_LIBRARY: the Python package finds the library of the tree it came in.
set(python ${CMAKE_COMMAND} -E env --unset=TOVIIPC_LIBRARY --unset=TOVIIPC_READER_LIBRARY
    PYTHONPATH=${root}/usr/lib/python3/dist-packages PYTHONDONTWRITEBYTECODE=1 ${PYTHON})
set(script "import importlib.metadata as m, toviipc
print(m.version('toviipc'), toviipc.__version__, toviipc.Server('install-test-python').name)")
expect_output("${VERSION} ${VERSION} install-test-python" ${python} -c ${script})
expect_output("python -m toviipc ${VERSION}" ${python} -m toviipc --version)
message(STATUS "deb: the tool and the Python package tell ${VERSION}; a Python server listened")
