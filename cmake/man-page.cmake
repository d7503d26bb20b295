# sievecheck.1 and zudor-serve.1, made from the built programs' --help so a page never disagrees
# with its program, and compressed as Debian keeps man pages. Without help2man (or when the
# programs cannot run here) the pages are left out; scripts/package installs help2man.
if(NOT TARGET sievecheck OR CMAKE_CROSSCOMPILING)
    return()
endif()
find_program(ZUDOR_HELP2MAN help2man)
find_program(ZUDOR_GZIP gzip)
if(NOT ZUDOR_HELP2MAN OR NOT ZUDOR_GZIP)
    message(STATUS "help2man or gzip not found: the man pages are not built")
    return()
endif()

function(zudor_man_page program description)
    set(man ${PROJECT_BINARY_DIR}/man/${program}.1)
    add_custom_command(OUTPUT ${man}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        COMMAND ${ZUDOR_HELP2MAN} --no-info --no-discard-stderr
            --version-string=${PROJECT_VERSION}
            "--name=${description}"
            --output=${man} $<TARGET_FILE:${program}>
        # -n: no name or time stamp in the header, so the package's bytes repeat from build to build.
        COMMAND ${ZUDOR_GZIP} -9nf ${man}
        DEPENDS ${program}
        COMMENT "Writing ${program}'s man page"
        VERBATIM)
    add_custom_target(${program}_man ALL DEPENDS ${man}.gz)
    install(FILES ${man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

zudor_man_page(sievecheck "read the metadata of TIFF files through the ZUDOR reader")
if(TARGET zudor-serve)
    zudor_man_page(zudor-serve "an HTTP service that reads TIFF metadata through the ZUDOR reader")
endif()
