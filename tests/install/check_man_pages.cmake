# Renders each manual page as man shows it in an 80-column terminal, with groff's warnings on;
# fails on any warning or error, or on a page that renders to nothing.
#   cmake -DMAN=... -DMAN_DIR=... -DPAGES=toviipc.1;... -P check_man_pages.cmake
foreach(page ${PAGES})
    execute_process(COMMAND ${CMAKE_COMMAND} -E env MANWIDTH=80 MAN_KEEP_FORMATTING=
        ${MAN} --warnings -l ${MAN_DIR}/${page}
        RESULT_VARIABLE rc OUTPUT_VARIABLE text ERROR_VARIABLE warnings)
    if(NOT rc EQUAL 0 OR NOT warnings STREQUAL "" OR NOT text MATCHES "NAME.*SYNOPSIS")
        message(FATAL_ERROR "man ${page}: exit ${rc}\n${warnings}")
    endif()
    message(STATUS "man ${page}: no warning")
endforeach()
