# sievecheck.1, made from the built tool's --help so the page never disagrees with the tool,
# and compressed as Debian keeps man pages. Without help2man (or when the tool cannot run here)
# the page is left out; scripts/package installs help2man.
if(NOT TARGET sievecheck OR CMAKE_CROSSCOMPILING)
    return()
endif()
find_program(ZUDOR_HELP2MAN help2man)
find_program(ZUDOR_GZIP gzip)
if(NOT ZUDOR_HELP2MAN OR NOT ZUDOR_GZIP)
    message(STATUS "help2man or gzip not found: sievecheck's man page is not built")
    return()
endif()

set(man ${PROJECT_BINARY_DIR}/man/sievecheck.1)
add_custom_command(OUTPUT ${man}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${ZUDOR_HELP2MAN} --no-info --no-discard-stderr
        --version-string=${PROJECT_VERSION}
        "--name=read the metadata of TIFF files through the ZUDOR reader"
        --output=${man} $<TARGET_FILE:sievecheck>
    # -n: no name or time stamp in the header, so the package's bytes repeat from build to build.
    COMMAND ${ZUDOR_GZIP} -9nf ${man}
    DEPENDS sievecheck
    COMMENT "Writing sievecheck's man page"
    VERBATIM)
add_custom_target(sievecheck_man ALL DEPENDS ${man}.gz)
install(FILES ${man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
