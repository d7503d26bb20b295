// libcurl, as a table of its functions. On Linux it is loaded when the first URL is met rather
// than at every start (remote_libraries.cpp): with the libraries it pulls in (TLS, Kerberos,
// LDAP, IDN ...) it would cost a run over local files several milliseconds of linking and
// constructors, more than a small file's whole read. Windows links a libcurl of its own build
// in (remote_libraries_linked.cpp).
#pragma once

#include <curl/curl.h>
#include <string>

namespace zudorhost {

struct RemoteLibraries {
    decltype(&::curl_global_init) globalInit;
    decltype(&::curl_easy_init) easyInit;
    decltype(&::curl_easy_reset) easyReset;
    decltype(&::curl_easy_cleanup) easyCleanup;
    decltype(&::curl_easy_setopt) easySetopt;
    decltype(&::curl_easy_getinfo) easyGetinfo;
    decltype(&::curl_easy_strerror) easyStrerror;
    decltype(&::curl_slist_append) slistAppend;
    decltype(&::curl_slist_free_all) slistFreeAll;
    decltype(&::curl_multi_init) multiInit;
    decltype(&::curl_multi_cleanup) multiCleanup;
    decltype(&::curl_multi_setopt) multiSetopt;
    decltype(&::curl_multi_add_handle) multiAddHandle;
    decltype(&::curl_multi_remove_handle) multiRemoveHandle;
    decltype(&::curl_multi_perform) multiPerform;
    decltype(&::curl_multi_poll) multiPoll;
    decltype(&::curl_multi_wakeup) multiWakeup;
    decltype(&::curl_multi_info_read) multiInfoRead;
};

// libcurl once, initialised, and the digests that sign requests; null, with why, where either
// cannot be had.
const RemoteLibraries *remoteLibraries(std::string &why);

// The table as the build has it (loaded, or linked in), not yet started: ok, or why not.
struct FoundRemoteLibraries {
    RemoteLibraries table{};
    bool ok = false;
    std::string why;
};
FoundRemoteLibraries findRemoteLibraries();

// The loaded table, for code that runs only once remoteLibraries has given one.
const RemoteLibraries &remote();

} // namespace zudorhost
