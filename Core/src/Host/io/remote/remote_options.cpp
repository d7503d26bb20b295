// The remote options as a front end hands them over, settled once before a run.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/system.h"
#include "zudor_host/platform.h"
#include "zudor_host/remote.h"

namespace zudorhost {
namespace {

constexpr char kPemStart[] = "-----BEGIN ";

// Why a file cannot serve as certificates to trust, or empty. Only PEM is read as such, so a
// file without one PEM block is refused here rather than failing every TLS request later.
std::string unusableCaFile(const std::string &path)
{
    const std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(openFile(path, "rb"), std::fclose);
    if (!file)
        return std::string("cannot read it: ") + std::strerror(errno);
    std::string seen;
    char chunk[16384];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0;) {
        seen.append(chunk, n);
        if (seen.find(kPemStart) != std::string::npos)
            return std::string();
        // A block's start may straddle two reads.
        seen.erase(0, seen.size() - std::min(seen.size(), sizeof kPemStart - 2));
    }
    if (std::ferror(file.get()))
        return std::string("cannot read it: ") + std::strerror(errno);
    return "it holds no certificate in PEM form (-----BEGIN CERTIFICATE-----)";
}

} // namespace

bool prepareRemoteOptions(RemoteOptions &options, std::string &error)
{
    const char *named = "the CA file ";
    if (options.caFile.empty()) {
        bool set;
        const std::string bundle = os::native().environmentVariable("AWS_CA_BUNDLE", set);
        if (bundle.empty())
            return true;
        options.caFile = bundle;
        named = "AWS_CA_BUNDLE=";
    }
    const std::string why = unusableCaFile(options.caFile);
    if (why.empty())
        return true;
    error = named + options.caFile + ": " + why;
    return false;
}

} // namespace zudorhost
