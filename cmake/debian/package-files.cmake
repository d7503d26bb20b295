# Run by CPack while it stages the Debian package (CPACK_INSTALL_SCRIPTS), never by a plain
# `cmake --install`: adds what only the Debian package carries, the changelog and lintian's
# overrides.
set(root "$ENV{DESTDIR}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(version "${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")

# The entry is dated by the commit the package is built from, and CPack, which reads
# SOURCE_DATE_EPOCH too, gives every file in the package that time, so the package's bytes
# repeat from build to build. A SOURCE_DATE_EPOCH set by the caller wins, as in Debian's tools.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    find_package(Git QUIET)
    if(GIT_FOUND)
        execute_process(COMMAND "${GIT_EXECUTABLE}" log -1 --format=%ct
            WORKING_DIRECTORY "${CPACK_ZUDOR_SOURCE_DIR}"
            OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        if(commit_time MATCHES "^[0-9]+$")
            set(ENV{SOURCE_DATE_EPOCH} "${commit_time}")
        endif()
    endif()
endif()
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)

set(doc "${root}/${CPACK_ZUDOR_DOCDIR}")
file(MAKE_DIRECTORY "${doc}")
file(WRITE "${doc}/changelog.Debian"
"${CPACK_PACKAGE_NAME} (${version}) bookworm; urgency=medium

  * ZUDOR ${CPACK_PACKAGE_VERSION}, packaged from its own sources by CMake and CPack.

 -- ${CPACK_PACKAGE_CONTACT}  ${date}
")
find_program(gzip gzip REQUIRED)
# -n: no name or time stamp in the gzip header.
execute_process(COMMAND "${gzip}" -9nf "${doc}/changelog.Debian" COMMAND_ERROR_IS_FATAL ANY)

# file(INSTALL) would put DESTDIR in front of the staging path a second time.
file(MAKE_DIRECTORY "${root}/share/lintian/overrides")
file(COPY_FILE "${CPACK_ZUDOR_SOURCE_DIR}/cmake/debian/lintian-overrides"
    "${root}/share/lintian/overrides/${CPACK_PACKAGE_NAME}")

# Copies and writes take the source's mode and the umask, which a checkout made by `git
# archive` or a group-writable umask leaves at 0664 and 0775: the package says its own.
file(CHMOD "${doc}/changelog.Debian.gz" "${root}/share/lintian/overrides/${CPACK_PACKAGE_NAME}"
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(CHMOD "${root}" "${root}/share" "${root}/share/doc" "${doc}" "${root}/share/lintian"
    "${root}/share/lintian/overrides"
    PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
