// Where the product keeps its reader module: beside the program that runs (a build tree, and
// Windows, where an install keeps everything beside the program), then below the prefix the
// program is installed under, then the system's own search.
#include "zudor_host/module.h"
#include "zudor_host/platform.h"

namespace zudorhost {
namespace {

#ifdef _WIN32
const char *const kBuildName = "ZUDOR.dll";
const char *const kSystemName = "ZUDOR.dll";
#else
// The build tree's name; an install's, whichever minor version it holds, answers to the SONAME.
const char *const kBuildName = "libzudor.so";
const char *const kSystemName = "libzudor.so.1";
#endif

} // namespace

const char *systemModuleName() { return kSystemName; }

std::vector<std::string> installedModulePlaces(const std::string &prefix)
{
    std::vector<std::string> places;
#ifndef _WIN32
    for (const char *lib : {"lib/" ZUDOR_MULTIARCH, "lib64", "lib"})
        places.push_back(prefix + "/" + lib + "/" + kSystemName);
#else
    (void)prefix; // an install keeps the DLL beside the program, which is tried first
#endif
    return places;
}

std::vector<std::string> defaultModulePlaces()
{
    std::vector<std::string> places;
    const std::string dir = programDirectory();
    if (!dir.empty()) {
        places.push_back(dir + "/" + kBuildName);
        const size_t slash = dir.find_last_of("/\\");
        if (slash != std::string::npos)
            for (std::string &place : installedModulePlaces(dir.substr(0, slash)))
                places.push_back(std::move(place));
    }
    places.push_back(kSystemName);
    return places;
}

} // namespace zudorhost
