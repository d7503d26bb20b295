# libcurl and SQLite for the Windows build: Debian has neither for mingw-w64, so
# scripts/lib/windows-deps builds them from Debian's source packages into ZUDOR_WINDOWS_DEPS as
# static libraries (programs then need only what Windows ships). Imported under the names the
# Linux build finds them by.
set(ZUDOR_WINDOWS_DEPS "${PROJECT_SOURCE_DIR}/build/windows-deps" CACHE PATH
    "libcurl and SQLite for mingw-w64, as scripts/lib/windows-deps builds them")
set(missing "")
foreach(file stamp include/curl/curl.h lib/libcurl.a include/sqlite3.h lib/libsqlite3.a)
    if(NOT EXISTS "${ZUDOR_WINDOWS_DEPS}/${file}")
        list(APPEND missing ${file})
    endif()
endforeach()
if(missing)
    list(JOIN missing ", " missing)
    message(FATAL_ERROR "The Windows build links libcurl and SQLite built from Debian's sources, and "
        "${ZUDOR_WINDOWS_DEPS} lacks ${missing}. Run scripts/lib/windows-deps, which fetches the "
        "sources with apt-get source and builds them into build/windows-deps (a few minutes, once), "
        "or name another build with -DZUDOR_WINDOWS_DEPS=<dir>.")
endif()
file(READ "${ZUDOR_WINDOWS_DEPS}/stamp" stamp)
string(STRIP "${stamp}" stamp)
message(STATUS "Static libraries from Debian's sources: ${stamp}")

add_library(CURL::libcurl STATIC IMPORTED)
set_target_properties(CURL::libcurl PROPERTIES
    IMPORTED_LOCATION "${ZUDOR_WINDOWS_DEPS}/lib/libcurl.a"
    INTERFACE_INCLUDE_DIRECTORIES "${ZUDOR_WINDOWS_DEPS}/include"
    INTERFACE_COMPILE_DEFINITIONS CURL_STATICLIB
    # Schannel's certificate store and chains, the sockets, the CryptoAPI of NTLM and digests,
    # the random numbers.
    INTERFACE_LINK_LIBRARIES "crypt32;ws2_32;advapi32;bcrypt")

add_library(SQLite::SQLite3 STATIC IMPORTED)
set_target_properties(SQLite::SQLite3 PROPERTIES
    IMPORTED_LOCATION "${ZUDOR_WINDOWS_DEPS}/lib/libsqlite3.a"
    INTERFACE_INCLUDE_DIRECTORIES "${ZUDOR_WINDOWS_DEPS}/include")
