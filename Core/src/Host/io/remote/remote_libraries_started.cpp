// libcurl started once, at the first URL, whichever way the build has it.
#include "io/remote/remote_libraries.h"

#include <cstdio>
#include <cstdlib>

namespace zudorhost {
namespace {

const FoundRemoteLibraries &started()
{
    static const FoundRemoteLibraries l = [] { // thread-safe, once
        FoundRemoteLibraries found = findRemoteLibraries();
        if (found.ok && found.table.globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            found.ok = false;
            found.why = "cannot read URLs: libcurl would not start";
        }
        return found;
    }();
    return l;
}

} // namespace

const RemoteLibraries *remoteLibraries(std::string &why)
{
    const FoundRemoteLibraries &l = started();
    if (!l.ok)
        why = l.why;
    return l.ok ? &l.table : nullptr;
}

const RemoteLibraries &remote()
{
    const FoundRemoteLibraries &l = started();
    if (!l.ok) {
        // Unreachable: every caller runs after remoteLibraries answered with the table.
        std::fprintf(stderr, "zudor: %s\n", l.why.c_str());
        std::abort();
    }
    return l.table;
}

} // namespace zudorhost
