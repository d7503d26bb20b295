// libcurl linked into the program (the Windows build, which carries its own libcurl with
// Windows' TLS): the table points at its functions, initialised at the first URL.
#include "remote_libraries.h"

#include <cstdio>
#include <cstdlib>

#include "digest.h"

namespace zudorhost {
namespace {

struct Linked {
    RemoteLibraries table{&curl_global_init, &curl_easy_init,       &curl_easy_reset,         &curl_easy_cleanup,
                          &curl_easy_setopt, &curl_easy_getinfo,    &curl_easy_strerror,      &curl_slist_append,
                          &curl_slist_free_all, &curl_multi_init,   &curl_multi_cleanup,      &curl_multi_setopt,
                          &curl_multi_add_handle, &curl_multi_remove_handle, &curl_multi_perform, &curl_multi_poll,
                          &curl_multi_wakeup, &curl_multi_info_read};
    bool ok = false;
    std::string why;
};

const Linked &linked()
{
    static const Linked l = [] {
        Linked made;
        made.ok = digestsAvailable(made.why);
        if (made.ok && curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            made.ok = false;
            made.why = "cannot read URLs: libcurl would not start";
        }
        return made;
    }();
    return l;
}

} // namespace

const RemoteLibraries *remoteLibraries(std::string &why)
{
    const Linked &l = linked();
    if (!l.ok)
        why = l.why;
    return l.ok ? &l.table : nullptr;
}

const RemoteLibraries &remote()
{
    const Linked &l = linked();
    if (!l.ok) {
        // Unreachable: every caller runs after remoteLibraries answered with the table.
        std::fprintf(stderr, "zudor: %s\n", l.why.c_str());
        std::abort();
    }
    return l.table;
}

} // namespace zudorhost
