#include "remote_libraries.h"

#include <cstdio>
#include <cstdlib>

#include "digest.h"
#include "zudor_host/platform.h"

namespace zudorhost {
namespace {

// The soname of the ABI these declarations describe.
constexpr const char *kCurl = "libcurl.so.4";

struct Loaded {
    RemoteLibraries table{};
    bool ok = false;
    std::string why;
};

template <typename F> bool find(void *library, const char *name, F &into, std::string &why)
{
    if (findFunction(library, name, into))
        return true;
    why = std::string("cannot read URLs: ") + name + " is missing from its library";
    return false;
}

void *open(const char *name, std::string &why)
{
    void *library = loadSystemLibrary(name, why);
    if (library == nullptr)
        why = "cannot read URLs: " + why;
    return library;
}

Loaded load()
{
    Loaded l;
    RemoteLibraries &t = l.table;
    void *curl = open(kCurl, l.why);
    l.ok = curl != nullptr && digestsAvailable(l.why) && find(curl, "curl_global_init", t.globalInit, l.why) &&
           find(curl, "curl_easy_init", t.easyInit, l.why) && find(curl, "curl_easy_reset", t.easyReset, l.why) &&
           find(curl, "curl_easy_cleanup", t.easyCleanup, l.why) &&
           find(curl, "curl_easy_setopt", t.easySetopt, l.why) &&
           find(curl, "curl_easy_getinfo", t.easyGetinfo, l.why) &&
           find(curl, "curl_easy_strerror", t.easyStrerror, l.why) &&
           find(curl, "curl_slist_append", t.slistAppend, l.why) &&
           find(curl, "curl_slist_free_all", t.slistFreeAll, l.why) &&
           find(curl, "curl_multi_init", t.multiInit, l.why) &&
           find(curl, "curl_multi_cleanup", t.multiCleanup, l.why) &&
           find(curl, "curl_multi_setopt", t.multiSetopt, l.why) &&
           find(curl, "curl_multi_add_handle", t.multiAddHandle, l.why) &&
           find(curl, "curl_multi_remove_handle", t.multiRemoveHandle, l.why) &&
           find(curl, "curl_multi_perform", t.multiPerform, l.why) &&
           find(curl, "curl_multi_poll", t.multiPoll, l.why) &&
           find(curl, "curl_multi_wakeup", t.multiWakeup, l.why) &&
           find(curl, "curl_multi_info_read", t.multiInfoRead, l.why);
    if (l.ok && t.globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        l.ok = false;
        l.why = "cannot read URLs: libcurl would not start";
    }
    return l;
}

const Loaded &loaded()
{
    static const Loaded l = load(); // thread-safe, once
    return l;
}

} // namespace

const RemoteLibraries *remoteLibraries(std::string &why)
{
    const Loaded &l = loaded();
    if (!l.ok)
        why = l.why;
    return l.ok ? &l.table : nullptr;
}

const RemoteLibraries &remote()
{
    const Loaded &l = loaded();
    if (!l.ok) {
        // Unreachable: every caller runs after remoteLibraries answered with the table.
        std::fprintf(stderr, "zudor: %s\n", l.why.c_str());
        std::abort();
    }
    return l.table;
}

} // namespace zudorhost
