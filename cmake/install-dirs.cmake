# Where `cmake --install` puts things, chosen before any subproject (GoogleTest among them)
# includes GNUInstallDirs and fixes the defaults in the cache.
#
# Debian keeps libraries in a directory per architecture. Using it under every prefix gives one
# layout, so a tool finds the module at ../lib/<multiarch>/ in a test prefix as in /usr.
if(NOT WIN32 AND CMAKE_LIBRARY_ARCHITECTURE)
    set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries")
endif()
set(CMAKE_INSTALL_DOCDIR share/doc/zudor CACHE PATH "Documentation")
include(GNUInstallDirs)
