# Header-only libraries from the build machine's include folder (RapidJSON, CLI11). A cross build
# finds them there too, but only their own folders may reach the cross compiler, not the build
# machine's C library headers beside them: each is linked into a folder of its own in the build
# tree.
function(zudor_use_header_only target header)
    string(REGEX REPLACE "/.*" "" top "${header}")
    set(mode "")
    if(CMAKE_CROSSCOMPILING)
        set(mode NO_CMAKE_FIND_ROOT_PATH)
    endif()
    find_path(ZUDOR_${top}_INCLUDE "${header}" PATHS /usr/include ${mode} REQUIRED)
    set(dir ${ZUDOR_${top}_INCLUDE})
    if(CMAKE_CROSSCOMPILING)
        set(dir ${CMAKE_BINARY_DIR}/header-only/${top})
        if(NOT EXISTS ${dir}/${top})
            file(MAKE_DIRECTORY ${dir})
            file(CREATE_LINK ${ZUDOR_${top}_INCLUDE}/${top} ${dir}/${top} SYMBOLIC)
        endif()
    endif()
    target_include_directories(${target} SYSTEM PRIVATE ${dir})
endfunction()
