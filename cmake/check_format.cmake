# Fails when a C or C++ source of the project differs from what .clang-format makes of it.
file(GLOB_RECURSE files
    ${SOURCE_DIR}/src/*.h ${SOURCE_DIR}/src/*.cpp ${SOURCE_DIR}/include/*.h
    ${SOURCE_DIR}/tests/*.h ${SOURCE_DIR}/tests/*.cpp ${SOURCE_DIR}/tests/*.c
    ${SOURCE_DIR}/tools/*.h ${SOURCE_DIR}/tools/*.cpp ${SOURCE_DIR}/examples/*.c
    ${SOURCE_DIR}/examples/*.h
    ${SOURCE_DIR}/bench/*.h ${SOURCE_DIR}/bench/*.cpp)
set(bad)
foreach(f ${files})
    execute_process(COMMAND ${CLANG_FORMAT} --dry-run --Werror ${f}
        RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
    if(NOT rc EQUAL 0)
        list(APPEND bad ${f})
    endif()
endforeach()
if(bad)
    string(REPLACE ";" "\n  " bad "${bad}")
    message(FATAL_ERROR "not formatted with clang-format:\n  ${bad}")
endif()
