# cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=... -DEXAMPLES_DIR=... -DGENERATOR=...
#       -DLIBDIR=... -DWINDOWS=ON|OFF [-DTOOLCHAIN_FILE=...] [-DEMULATOR=...]
#       -P run_install_test.cmake
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
        string(REPLACE ";" " " shown "${ARGN}")
        message(FATAL_ERROR "failed (${rc}): ${shown}\n${out}")
    endif()
    set(last_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

set(expected include/toviipc.h ${LIBDIR}/cmake/ToviIPC/ToviIPCConfig.cmake
    ${LIBDIR}/cmake/ToviIPC/ToviIPCConfigVersion.cmake ${LIBDIR}/pkgconfig/toviipc.pc)
if(WINDOWS)
    list(APPEND expected bin/ToviIPC.dll ${LIBDIR}/libToviIPC.dll.a bin/toviipc.exe)
else()
    list(APPEND expected ${LIBDIR}/libtoviipc.so bin/toviipc)
endif()
foreach(file ${expected})
    if(NOT EXISTS ${prefix}/${file})
        message(FATAL_ERROR "not installed: ${file}")
    endif()
endforeach()

# A cross build finds packages only under its root path; name the package's place instead.
set(configure ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig
    ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_BUILD_TYPE=Release -DEXAMPLES_DIR=${EXAMPLES_DIR})
if(TOOLCHAIN_FILE)
    list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE}
        -DToviIPC_DIR=${prefix}/${LIBDIR}/cmake/ToviIPC)
else()
    list(APPEND configure -DCMAKE_PREFIX_PATH=${prefix})
endif()
run(${configure})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)

if(WINDOWS)
    file(COPY ${prefix}/bin/ToviIPC.dll DESTINATION ${WORK_DIR}/build)
endif()
foreach(consumer consumer_cmake consumer_pkgconfig)
    if(EMULATOR)
        run(${EMULATOR} ${WORK_DIR}/build/${consumer}.exe install-test-${consumer})
    else()
        run(${WORK_DIR}/build/${consumer} install-test-${consumer})
    endif()
    message(STATUS "${consumer}: ${last_output}")
endforeach()
