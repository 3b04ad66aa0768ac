# A pkg-config file for each library (component development). Installed elsewhere than on
# Windows it names its prefix absolutely, as system packages do, so that pkg-config can leave
# out the system directories: it is written at install time, with the prefix of that
# install (cmake --install --prefix, or /usr for the packages). On Windows it finds its prefix
# from its own place, so that the unpacked zip can live anywhere.

# tovi_pkg_config_file(FILE TARGET NAME DESCRIPTION LINK_NAME)
function(tovi_pkg_config_file file target name description link_name)
    set(TOVI_PC_NAME ${name})
    set(TOVI_PC_DESCRIPTION ${description})
    set(generated ${CMAKE_CURRENT_BINARY_DIR}/${file})
    if(TOVI_WINDOWS)
        file(RELATIVE_PATH up /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
        string(REGEX REPLACE "/$" "" up "${up}")
        set(TOVI_PC_PREFIX "\${pcfiledir}/${up}")
        # The import library by its full name: a consumer linked with -static would not find a
        # .dll.a through -l.
        set(TOVI_PC_LIBS "\${libdir}/$<TARGET_LINKER_FILE_NAME:${target}>")
    else()
        set(TOVI_PC_PREFIX "@TOVI_INSTALL_PREFIX@")  # filled in at install time
        set(TOVI_PC_LIBS "-L\${libdir} -l${link_name}")
    endif()
    configure_file(${PROJECT_SOURCE_DIR}/cmake/toviipc.pc.in ${generated}.in @ONLY)
    file(GENERATE OUTPUT ${generated} INPUT ${generated}.in)
    if(TOVI_WINDOWS)
        install(FILES ${generated} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
            COMPONENT development)
        return()
    endif()
    set(destination "\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig")
    install(CODE "
        set(TOVI_INSTALL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
        configure_file(\"${generated}\" \"${destination}/${file}\" @ONLY)
        message(STATUS \"Installing: ${destination}/${file}\")"
        COMPONENT development)
endfunction()

tovi_pkg_config_file(toviipc.pc ToviIPC ToviIPC "Messages between processes on one machine"
    toviipc)
tovi_pkg_config_file(toviipc-reader.pc ToviIPCReader ToviIPCReader
    "Reader of the shared-memory blocks that ToviIPC clients write" toviipc_reader)
tovi_pkg_config_file(toviipc-events.pc ToviIPCEvents ToviIPCEvents
    "ToviIPC servers and clients for hosts with an event loop" toviipc_events)
