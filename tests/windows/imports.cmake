# zudor_foreign_imports(DUMP ALLOWED PROBLEMS): appends to the variable PROBLEMS a line for each
# DLL that DUMP (what objdump -p prints) imports and the regular expression ALLOWED (over
# lower-case names) does not admit.
function(zudor_foreign_imports dump allowed problems_var)
    set(problems "${${problems_var}}")
    string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
    foreach(import ${imports})
        string(REPLACE "DLL Name: " "" dll "${import}")
        string(TOLOWER "${dll}" dll)
        if(NOT dll MATCHES "${allowed}")
            string(APPEND problems "imports ${dll}, which Windows does not ship\n")
        endif()
    endforeach()
    set(${problems_var} "${problems}" PARENT_SCOPE)
endfunction()
