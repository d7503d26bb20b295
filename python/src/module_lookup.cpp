#include "module_lookup.h"

#include <dlfcn.h>
#include <filesystem>

namespace zudorpy {
namespace {

namespace fs = std::filesystem;

fs::path extensionDirectory()
{
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&loadReaderModule), &info) == 0 || info.dli_fname == nullptr)
        return {};
    std::error_code ec;
    const fs::path file = fs::canonical(info.dli_fname, ec);
    return ec ? fs::path() : file.parent_path();
}

} // namespace

bool loadReaderModule(zudorhost::LoadedModule &module, std::string &error)
{
    std::vector<std::string> places;
    const fs::path here = extensionDirectory();
    if (!here.empty()) {
        places.push_back((here / ZUDOR_BUILD_TREE_MODULE).lexically_normal().string());
        // <prefix>/lib/python3/dist-packages/zudor -> <prefix>/lib/...
        const fs::path lib = here.parent_path().parent_path().parent_path();
        for (const char *dir : {ZUDOR_MULTIARCH, "."})
            places.push_back((lib / dir / "libzudor.so.1").lexically_normal().string());
    }
    places.push_back("libzudor.so.1");
    std::string first;
    for (const std::string &place : places) {
        std::error_code ec;
        if (place.find('/') != std::string::npos && !fs::exists(place, ec))
            continue;
        if (module.load(place, error))
            return true;
        if (first.empty())
            first = error;
    }
    error = first.empty() ? "cannot find libzudor.so.1" : first;
    return false;
}

} // namespace zudorpy
