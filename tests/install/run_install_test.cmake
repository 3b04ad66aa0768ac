# Installs the build into a temporary prefix, makes its release package (a .deb natively, a zip
# for Windows) and unpacks that; then, against each of the two trees, configures, builds and
# runs a small consumer project, once through find_package(ToviIPC) and once through
# pkg-config. Natively, the Python package of the unpacked .deb is also imported and finds the
# library of its own tree.
#
# cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=... -DEXAMPLES_DIR=... -DGENERATOR=...
#       -DLIBDIR=... -DWINDOWS=ON|OFF -DCPACK=... [-DDPKG_DEB=...] [-DPYTHON=...]
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
function(consume root tag)
    set(expected include/toviipc.h include/toviipc_shm.h
        ${LIBDIR}/cmake/ToviIPC/ToviIPCConfig.cmake
        ${LIBDIR}/cmake/ToviIPC/ToviIPCConfigVersion.cmake ${LIBDIR}/pkgconfig/toviipc.pc
        ${LIBDIR}/pkgconfig/toviipc-reader.pc)
    if(WINDOWS)
        list(APPEND expected bin/ToviIPC.dll bin/ToviIPCReader.dll ${LIBDIR}/libToviIPC.dll.a
            ${LIBDIR}/libToviIPCReader.dll.a bin/toviipc.exe README.md examples/shm_reader.c
            python/toviipc/__init__.py)
    else()
        list(APPEND expected ${LIBDIR}/libtoviipc.so ${LIBDIR}/libtoviipc_reader.so bin/toviipc
            share/doc/ToviIPC/README.md share/doc/ToviIPC/examples/shm_reader.c
            lib/python3/dist-packages/toviipc/__init__.py)
    endif()
    foreach(file ${expected})
        if(NOT EXISTS ${root}/${file})
            message(FATAL_ERROR "${tag}: missing ${file}")
        endif()
    endforeach()

    # A cross build finds packages only under its root path; name the package's place instead.
    set(build ${WORK_DIR}/build-${tag})
    set(configure ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${root}/${LIBDIR}/pkgconfig
        ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${build} -G ${GENERATOR}
        -DCMAKE_BUILD_TYPE=Release -DEXAMPLES_DIR=${EXAMPLES_DIR})
    if(TOOLCHAIN_FILE)
        list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE}
            -DToviIPC_DIR=${root}/${LIBDIR}/cmake/ToviIPC)
    else()
        list(APPEND configure -DCMAKE_PREFIX_PATH=${root})
    endif()
    run(${configure})
    run(${CMAKE_COMMAND} --build ${build})

    if(WINDOWS)
        file(COPY ${root}/bin/ToviIPC.dll ${root}/bin/ToviIPCReader.dll DESTINATION ${build})
    endif()
    foreach(consumer consumer_cmake consumer_pkgconfig)
        if(EMULATOR)
            run(${EMULATOR} ${build}/${consumer}.exe install-test-${tag}-${consumer})
        else()
            run(${build}/${consumer} install-test-${tag}-${consumer})
        endif()
        message(STATUS "${tag}, ${consumer}: ${last_output}")
    endforeach()
endfunction()

# The one file that matches pattern, in var.
function(one_package var pattern)
    file(GLOB found ${pattern})
    list(LENGTH found count)
    if(NOT count EQUAL 1)
        message(FATAL_ERROR "expected one package ${pattern}, found: ${found}")
    endif()
    set(${var} ${found} PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})

set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
consume(${prefix} prefix)

run(${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR}/package)
if(WINDOWS)
    one_package(zip ${WORK_DIR}/package/toviipc-*-win64.zip)
    file(MAKE_DIRECTORY ${WORK_DIR}/zip)
    run(${CMAKE_COMMAND} -E chdir ${WORK_DIR}/zip ${CMAKE_COMMAND} -E tar xf ${zip})
    file(GLOB root ${WORK_DIR}/zip/toviipc-*-win64)
    consume(${root} zip)
else()
    one_package(deb ${WORK_DIR}/package/toviipc_*.deb)
    run(${DPKG_DEB} -x ${deb} ${WORK_DIR}/deb)
    consume(${WORK_DIR}/deb/usr deb)
    if(PYTHON)
        # No TOVIIPC_LIBRARY: the package finds the library of the tree it came in.
        run(${CMAKE_COMMAND} -E env --unset=TOVIIPC_LIBRARY --unset=TOVIIPC_READER_LIBRARY
            PYTHONPATH=${WORK_DIR}/deb/usr/lib/python3/dist-packages PYTHONDONTWRITEBYTECODE=1
            ${PYTHON} -c "import toviipc\nprint(toviipc.Server('install-test-python').name)")
        if(NOT last_output MATCHES "^install-test-python")
            message(FATAL_ERROR "the Python package of the .deb did not serve: ${last_output}")
        endif()
        message(STATUS "deb, Python package: a server listened on ${last_output}")
    endif()
endif()
