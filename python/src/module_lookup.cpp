#include "module_lookup.h"

#include <algorithm>

#include "zudor_host/isolation.h"
#include "zudor_host/module.h"
#include "zudor_host/platform.h"

namespace zudorpy {

namespace {

// The extension's directory, and the prefix it is installed under (empty in a build tree
// without one): <prefix>/lib/python3/dist-packages/zudor.
std::string extensionDirectory()
{
    return zudorhost::directoryOfCode(reinterpret_cast<const void *>(&extensionDirectory));
}

std::string prefixOf(std::string here)
{
    for (int up = 0; up < 4; ++up)
        here.erase(std::min(here.find_last_of('/'), here.size()));
    return here;
}

} // namespace

std::vector<std::string> modulePlaces()
{
    std::vector<std::string> places;
    const std::string here = extensionDirectory();
    if (!here.empty()) {
        places.push_back(here + "/" ZUDOR_BUILD_TREE_MODULE);
        const std::string prefix = prefixOf(here);
        if (!prefix.empty())
            for (std::string &place : zudorhost::installedModulePlaces(prefix))
                places.push_back(std::move(place));
    }
    places.push_back(zudorhost::systemModuleName());
    return places;
}

std::string workerProgram()
{
    const std::string here = extensionDirectory();
    std::vector<std::string> places = {here + "/" ZUDOR_BUILD_TREE_WORKER};
    for (std::string &place : zudorhost::installedWorkerPlaces(prefixOf(here)))
        places.push_back(std::move(place));
    for (const std::string &place : places)
        if (zudorhost::pathExists(place))
            return place;
    return places.back();
}

bool loadReaderModule(zudorhost::LoadedModule &module, std::string &error)
{
    return module.loadFirst(modulePlaces(), error);
}

} // namespace zudorpy
