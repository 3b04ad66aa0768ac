# Fails when a C or C++ source of the project differs from what .clang-format makes of it.
file(GLOB_RECURSE files
    ${SOURCE_DIR}/src/*.h ${SOURCE_DIR}/src/*.cpp ${SOURCE_DIR}/include/*.h
    ${SOURCE_DIR}/tests/*.h ${SOURCE_DIR}/tests/*.cpp ${SOURCE_DIR}/tests/*.c
    ${SOURCE_DIR}/tools/*.h ${SOURCE_DIR}/tools/*.cpp ${SOURCE_DIR}/examples/*.c
    ${SOURCE_DIR}/examples/*.h
    ${SOURCE_DIR}/bench/*.h ${SOURCE_DIR}/bench/*.cpp)
# One run checks every file; only when it finds something is each file asked on its own, to
# name the ones to format.
execute_process(COMMAND ${CLANG_FORMAT} --dry-run --Werror ${files}
    RESULT_VARIABLE all_rc OUTPUT_QUIET ERROR_QUIET)
set(bad)
if(NOT all_rc EQUAL 0)
    foreach(f ${files})
        execute_process(COMMAND ${CLANG_FORMAT} --dry-run --Werror ${f}
            RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
        if(NOT rc EQUAL 0)
            list(APPEND bad ${f})
        endif()
    endforeach()
endif()
if(bad)
    string(REPLACE ";" "\n  " bad "${bad}")
    message(FATAL_ERROR "not formatted with clang-format:\n  ${bad}")
endif()
