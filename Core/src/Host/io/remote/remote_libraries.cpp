#include "io/remote/remote_libraries.h"


#include "io/remote/digest.h"
#include "platform/loader.h"
#include "zudor_host/platform.h"

namespace zudorhost {
namespace {

// The soname of the ABI these declarations describe.
constexpr const char *kCurl = "libcurl.so.4";

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

} // namespace

FoundRemoteLibraries findRemoteLibraries()
{
    FoundRemoteLibraries l;
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
    return l;
}

} // namespace zudorhost
