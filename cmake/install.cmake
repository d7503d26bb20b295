# What `cmake --install` places, and so what the packages hold: the module, the public headers
# (the module's and the reference host's), sievecheck and zudor-serve with their man pages, the
# service's systemd unit and the worker program, a CMake package
# (find_package(zudor): zudor::headers, zudor::zudor and, when expat and SQLite are found,
# zudor::host), the pkg-config file zudor.pc, the README and the licence.
# Front ends with their own install rules (python/) add to the same tree and so to the same
# packages.

set(ZUDOR_HEADER_DIRS ${PROJECT_SOURCE_DIR}/Core/src/Readers/zudor/include/zudor)
set(ZUDOR_HOST_HEADERS ${PROJECT_SOURCE_DIR}/Core/src/Host/include/zudor_host)
# The Windows archive carries no reference host library, so none of its headers either.
if(TARGET zudor_host AND NOT WIN32)
    list(APPEND ZUDOR_HEADER_DIRS ${ZUDOR_HOST_HEADERS})
endif()
install(DIRECTORY ${ZUDOR_HEADER_DIRS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    FILES_MATCHING PATTERN "*.h")
# The licence goes with every copy. The Windows archive has the MIT text and the notices of
# what its programs link statically; elsewhere the Debian-style copyright file holds both the
# MIT text and the notices of the header-only libraries compiled into sievecheck and the
# Python extension.
if(WIN32)
    install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        ${CMAKE_CURRENT_LIST_DIR}/windows/THIRD-PARTY-NOTICES DESTINATION .)
else()
    install(FILES ${PROJECT_SOURCE_DIR}/README.md ${CMAKE_CURRENT_LIST_DIR}/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

if(TARGET sievecheck)
    install(TARGETS sievecheck RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
# The HTTP service (Linux only), with its systemd unit, which the package installs but does not
# enable: an administrator chooses the address and the tokens first (see the unit's comments).
if(TARGET zudor-serve)
    install(TARGETS zudor-serve RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/zudor-serve.service DESTINATION lib/systemd/system)
endif()
# The reader process of isolated reading: no command of its own for a person, so in libexec,
# where the front ends look for it below their prefix; Windows keeps it beside sievecheck.exe.
if(TARGET zudor-worker)
    if(WIN32)
        install(TARGETS zudor-worker RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    else()
        install(TARGETS zudor-worker RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/zudor)
    endif()
endif()

if(WIN32)
    # The archive is for hosts that load ZUDOR.dll at run time: DLL, tool and headers.
    install(TARGETS zudor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    return()
endif()

install(TARGETS zudor zudor_headers EXPORT zudor-targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The unversioned name serves only linking, so it keeps out of the way of hosts' dlopen.
install(TARGETS zudor LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_ONLY)

set(ZUDOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zudor)
install(EXPORT zudor-targets NAMESPACE zudor:: DESTINATION ${ZUDOR_CMAKE_DIR})

# The reference host as a static library. Its build tree names its include directories by
# absolute source paths; the installed copy finds the headers under the prefix instead.
if(TARGET zudor_host)
    get_target_property(host_includes zudor_host INTERFACE_INCLUDE_DIRECTORIES)
    set(wrapped)
    foreach(dir IN LISTS host_includes)
        if(dir MATCHES "^\\$<")
            list(APPEND wrapped "${dir}")
        else()
            list(APPEND wrapped "$<BUILD_INTERFACE:${dir}>")
        endif()
    endforeach()
    set_property(TARGET zudor_host PROPERTY INTERFACE_INCLUDE_DIRECTORIES
        ${wrapped} "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
    set_target_properties(zudor_host PROPERTIES EXPORT_NAME host)
    install(TARGETS zudor_host EXPORT zudor-host-targets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
    # --strip leaves archives alone; their debug information goes, their symbols must stay.
    install(CODE "
        if(CMAKE_INSTALL_DO_STRIP)
            execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug
                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:zudor_host>\")
        endif()
    ")
    install(EXPORT zudor-host-targets NAMESPACE zudor:: DESTINATION ${ZUDOR_CMAKE_DIR})
endif()

include(CMakePackageConfigHelpers)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/zudor-config.cmake.in
    ${PROJECT_BINARY_DIR}/zudor-config.cmake INSTALL_DESTINATION ${ZUDOR_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zudor-config-version.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zudor-config.cmake ${PROJECT_BINARY_DIR}/zudor-config-version.cmake
    DESTINATION ${ZUDOR_CMAKE_DIR})

# zudor.pc names the prefix it is installed under, which --prefix and the packages choose only
# at install time.
install(CODE "
    set(ZUDOR_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    set(PROJECT_DESCRIPTION \"${PROJECT_DESCRIPTION}\")
    configure_file(\"${CMAKE_CURRENT_LIST_DIR}/zudor.pc.in\" \"${PROJECT_BINARY_DIR}/zudor.pc\" @ONLY)
")
install(FILES ${PROJECT_BINARY_DIR}/zudor.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

include(${CMAKE_CURRENT_LIST_DIR}/man-page.cmake)
