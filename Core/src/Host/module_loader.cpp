// Loads the reader module at run time, the way any host does, and takes its table.
#include <dlfcn.h>
#include <filesystem>

#include "zudor_host/zudor_host.h"

namespace zudorhost {
namespace {

constexpr const char *kModuleFileName = "libzudor.so";
// The name an installed module answers to, whichever minor version is installed.
constexpr const char *kModuleSoname = "libzudor.so.1";

std::filesystem::path programDirectory()
{
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : exe.parent_path();
}

// Beside the program (a build tree), in the lib directories beside its bin directory (an
// install under any prefix), then wherever the dynamic linker looks (a system install).
std::vector<std::string> defaultPlaces()
{
    std::vector<std::string> places;
    const auto dir = programDirectory();
    if (!dir.empty()) {
        places.push_back((dir / kModuleFileName).string());
        for (const char *lib : {"lib/" ZUDOR_MULTIARCH, "lib64", "lib"})
            places.push_back((dir.parent_path() / lib / kModuleSoname).string());
    }
    places.push_back(kModuleSoname);
    return places;
}

} // namespace

LoadedModule::~LoadedModule()
{
    if (handle_ != nullptr)
        dlclose(handle_);
}

bool LoadedModule::load(const std::string &path, std::string &error)
{
    if (!path.empty())
        return loadFrom(path, error);
    std::string first;
    for (const std::string &place : defaultPlaces()) {
        // A place that does not exist says nothing; the first real failure is the one to tell.
        std::error_code ec;
        if (place.find('/') != std::string::npos && !std::filesystem::exists(place, ec))
            continue;
        if (loadFrom(place, error))
            return true;
        if (first.empty())
            first = error;
    }
    error = first.empty() ? std::string("cannot find ") + kModuleFileName : first;
    return false;
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
    if (entry != nullptr)
        entry(&table);
    if (entry == nullptr || table.allocateContext == nullptr || table.freeContext == nullptr ||
        table.initDoc == nullptr || table.fillBuffer == nullptr ||
        table.getSummaryInfo == nullptr || table.getXmpInfo == nullptr) {
        error = file + (entry == nullptr ? ": no tifGetReaderInterface entry point"
                                         : ": the reader's table is incomplete");
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
