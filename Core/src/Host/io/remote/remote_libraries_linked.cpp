// libcurl linked into the program (the Windows build, which carries its own libcurl with
// Windows' TLS): the table points at its functions (remote_libraries_started.cpp starts it).
#include "io/remote/remote_libraries.h"


#include "io/remote/digest.h"

namespace zudorhost {

FoundRemoteLibraries findRemoteLibraries()
{
    FoundRemoteLibraries found;
    found.table = {&curl_global_init, &curl_easy_init,       &curl_easy_reset,         &curl_easy_cleanup,
                   &curl_easy_setopt, &curl_easy_getinfo,    &curl_easy_strerror,      &curl_slist_append,
                   &curl_slist_free_all, &curl_multi_init,   &curl_multi_cleanup,      &curl_multi_setopt,
                   &curl_multi_add_handle, &curl_multi_remove_handle, &curl_multi_perform, &curl_multi_poll,
                   &curl_multi_wakeup, &curl_multi_info_read};
    found.ok = digestsAvailable(found.why);
    return found;
}

} // namespace zudorhost
