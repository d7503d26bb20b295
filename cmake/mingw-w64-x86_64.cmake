# Cross build for 64-bit Windows with Debian's mingw-w64 compilers. The posix thread model is
# the one GoogleTest builds with; the compiler's runtime (winpthread included) is linked in
# statically, so what is built here needs only the DLLs that Windows ships. Test programs
# run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZUDOR_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZUDOR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZUDOR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZUDOR_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZUDOR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)

find_program(ZUDOR_WINE NAMES wine wine64)
if(ZUDOR_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${ZUDOR_WINE})
endif()
