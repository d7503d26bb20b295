#include "module_lookup.h"

#include <algorithm>

#include "zudor_host/platform.h"

namespace zudorpy {

bool loadReaderModule(zudorhost::LoadedModule &module, std::string &error)
{
    std::vector<std::string> places;
    const std::string here = zudorhost::directoryOfCode(reinterpret_cast<const void *>(&loadReaderModule));
    if (!here.empty()) {
        places.push_back(here + "/" ZUDOR_BUILD_TREE_MODULE);
        // <prefix>/lib/python3/dist-packages/zudor -> <prefix>
        std::string prefix = here;
        for (int up = 0; up < 4; ++up)
            prefix.erase(std::min(prefix.find_last_of('/'), prefix.size()));
        if (!prefix.empty())
            for (std::string &place : zudorhost::installedModulePlaces(prefix))
                places.push_back(std::move(place));
    }
    places.push_back(zudorhost::systemModuleName());
    return module.loadFirst(places, error);
}

} // namespace zudorpy
