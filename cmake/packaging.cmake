# The packages, made by CPack from whatever the install rules place (scripts/package runs it):
# a Debian package on Linux, a zip archive from the Windows build. Both carry the licence: the
# Debian package in its copyright file, the archive in LICENSE and THIRD-PARTY-NOTICES.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "ZUDOR")
set(CPACK_PACKAGE_CONTACT "ZUDOR maintainers <maintainers@users.noreply.c-seed-d295bf74.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "TIFF metadata reader module for document-filtering hosts")
set(CPACK_PACKAGE_DESCRIPTION [[
ZUDOR walks a TIFF file's directories and hands its textual tags, its first
date and its XMP packets to the host that loaded it. This package holds the
module, its public headers with a CMake package and a pkg-config file for
host developers, and the sievecheck command line.]])
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
# Debug information stays in the build tree.
set(CPACK_STRIP_FILES ON)
set(CPACK_THREADS 0)

if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_NAME ZUDOR)
    set(CPACK_SYSTEM_NAME win64)
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGE_NAME zudor)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
    # Dependencies come from the binaries, and from the deb-* lines of the table that names
    # every package the project uses (what the host loads when first needed, what the Python
    # package and building against zudor::host want).
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    foreach(relation DEPENDS RECOMMENDS SUGGESTS)
        string(TOLOWER "deb-${relation}" group)
        file(STRINGS ${PROJECT_SOURCE_DIR}/scripts/lib/packages line REGEX "^${group}: ")
        string(REGEX REPLACE "^${group}: *" "" line "${line}")
        if(line STREQUAL "")
            message(FATAL_ERROR "scripts/lib/packages has no ${group} line")
        endif()
        set(CPACK_DEBIAN_PACKAGE_${relation} "${line}")
    endforeach()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/scripts/lib/packages)
    # A revision of our own packaging: lintian then looks for changelog.Debian.gz.
    set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
    # A shlibs file: hosts built against this version need this version or a later one with
    # the same SONAME.
    set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
    set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
    # ldconfig runs by trigger, as Debian does it now. postinst and prerm byte-compile the
    # Python package and remove the byte-code again; CPack still adds a postrm calling ldconfig.
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers
        ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/prerm)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
    # The changelog and lintian's overrides, written while CPack stages the package.
    set(CPACK_INSTALL_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/package-files.cmake)
    set(CPACK_ZUDOR_SOURCE_DIR ${PROJECT_SOURCE_DIR})
    set(CPACK_ZUDOR_DOCDIR ${CMAKE_INSTALL_DOCDIR})
endif()

include(CPack)
