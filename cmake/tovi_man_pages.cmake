# The manual pages, written in man(7) in man/: toviipc(1) for the tool (component tools),
# toviipc(3), toviipc_shm(3) and toviipc_events(3) for the C interfaces (component development). The build
# fills in the version and compresses each as Debian wants it (gzip -9n); nothing is fetched.
# The Windows zip has none.
set(TOVI_MAN_PAGES toviipc.1 toviipc.3 toviipc_shm.3 toviipc_events.3)
set(TOVI_MAN_DIR ${CMAKE_BINARY_DIR}/man)
if(TOVI_WINDOWS)
    return()
endif()
find_program(TOVI_GZIP gzip REQUIRED)
set(compressed)
foreach(page ${TOVI_MAN_PAGES})
    configure_file(${PROJECT_SOURCE_DIR}/man/${page} ${TOVI_MAN_DIR}/${page} @ONLY)
    add_custom_command(OUTPUT ${TOVI_MAN_DIR}/${page}.gz
        COMMAND ${TOVI_GZIP} -9nc ${TOVI_MAN_DIR}/${page} > ${TOVI_MAN_DIR}/${page}.gz
        DEPENDS ${TOVI_MAN_DIR}/${page} VERBATIM)
    list(APPEND compressed ${TOVI_MAN_DIR}/${page}.gz)
    string(REGEX REPLACE ".*\\." "" section ${page})
    set(component development)
    if(section STREQUAL "1")
        set(component tools)
    endif()
    if(component STREQUAL "development" OR TARGET toviipc)
        install(FILES ${TOVI_MAN_DIR}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
            COMPONENT ${component})
    endif()
endforeach()
add_custom_target(tovi_man_pages ALL DEPENDS ${compressed})
