# Run by cpack after it made the Debian packages (CPACK_POST_BUILD_SCRIPTS), to finish what
# CPack 3.25 cannot be told to do as Debian's own tools do:
# - It gives a package with shared libraries in /usr/lib maintainer scripts that call ldconfig.
#   libtoviipc0 has its ldconfig trigger instead, and without a postrm dpkg -r removes it whole
#   (a postrm would leave it in the state "rc").
# - Its strip keeps the compiler's identification (.comment) in the binaries.
# - Its -dbgsym packages list their files in md5sums by absolute paths of the build machine,
#   make the debug files executable, and have no documentation directory. Like Debian's own,
#   they get one that is a link to that of the package whose binaries they belong to (and on
#   which they depend): its copyright file.
# Each package is unpacked, changed, given its md5sums anew and packed again; its checksum file
# is written anew.
find_program(dpkg_deb dpkg-deb REQUIRED)
find_program(objcopy objcopy REQUIRED)

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc ERROR_VARIABLE errors)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${ARGN}: ${errors}")
    endif()
endfunction()

foreach(package ${CPACK_PACKAGE_FILES})
    get_filename_component(file_name ${package} NAME)
    string(REGEX MATCH "^[^_]+" name ${file_name})
    if(NOT name MATCHES "^(libtoviipc${CPACK_TOVI_SOVERSION}|toviipc-tools)(-dbgsym)?$")
        continue()
    endif()
    set(tree ${package}.tree)
    file(REMOVE_RECURSE ${tree})
    run(${dpkg_deb} -R ${package} ${tree})
    file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${tree} ${tree}/usr/*)
    list(SORT files)
    if(name MATCHES "^(.*)-dbgsym$")
        file(MAKE_DIRECTORY ${tree}/usr/share/doc)
        file(CREATE_LINK ${CMAKE_MATCH_1} ${tree}/usr/share/doc/${name} SYMBOLIC)
        foreach(file ${files})
            file(CHMOD ${tree}/${file} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
        endforeach()
    else()
        file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
        foreach(file ${files})
            if(file MATCHES "^usr/(bin/|lib/.*\\.so\\.)" AND NOT IS_SYMLINK ${tree}/${file})
                run(${objcopy} --remove-section=.comment ${tree}/${file})
            endif()
        endforeach()
    endif()
    set(sums "")
    foreach(file ${files})
        if(NOT IS_SYMLINK ${tree}/${file})
            file(MD5 ${tree}/${file} sum)
            string(APPEND sums "${sum}  ${file}\n")
        endif()
    endforeach()
    file(WRITE ${tree}/DEBIAN/md5sums "${sums}")
    run(${dpkg_deb} --root-owner-group --build ${tree} ${package})
    file(REMOVE_RECURSE ${tree})
    if(EXISTS ${package}.sha256)
        file(SHA256 ${package} sum)
        file(WRITE ${package}.sha256 "${sum}  ${file_name}\n")
    endif()
endforeach()
