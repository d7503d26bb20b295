// Loads the reader module with dlopen, the way any host on a POSIX system does.
#include <dlfcn.h>

#include "zudor_host/module.h"

namespace zudorhost {

// The build tree's name; an install's, whichever minor version it holds, answers to the SONAME.
const char *moduleFileName() { return "libzudor.so"; }
const char *systemModuleName() { return "libzudor.so.1"; }

std::vector<std::string> installedModulePlaces(const std::string &prefix)
{
    std::vector<std::string> places;
    for (const char *lib : {"lib/" ZUDOR_MULTIARCH, "lib64", "lib"})
        places.push_back(prefix + "/" + lib + "/" + systemModuleName());
    return places;
}

LoadedModule::~LoadedModule()
{
    if (handle_ != nullptr)
        dlclose(handle_);
}

bool LoadedModule::loadFrom(const std::string &file, std::string &error)
{
    void *handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *why = dlerror();
        error = why != nullptr ? why : "cannot load " + file;
        return false;
    }
    auto entry = reinterpret_cast<TifGetReaderInterfaceFn>(dlsym(handle, "tifGetReaderInterface"));
    ReaderInterface table{};
    if (!takeTable(entry, file, table, error)) {
        dlclose(handle);
        return false;
    }
    if (handle_ != nullptr)
        dlclose(handle_);
    handle_ = handle;
    table_ = table;
    return true;
}

} // namespace zudorhost
