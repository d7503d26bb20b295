#include "module_loader.h"

#include <dlfcn.h>
#include <filesystem>

namespace sievecheck {
namespace {

constexpr const char *kModuleFileName = "libzudor.so";

std::string besideExecutable()
{
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(kModuleFileName) : (exe.parent_path() / kModuleFileName).string();
}

} // namespace

LoadedModule::~LoadedModule()
{
    if (handle_ != nullptr)
        dlclose(handle_);
}

bool LoadedModule::load(const std::string &path, std::string &error)
{
    const std::string file = path.empty() ? besideExecutable() : path;
    handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char *why = dlerror();
        error = why != nullptr ? why : "cannot load " + file;
        return false;
    }
    auto entry = reinterpret_cast<TifGetReaderInterfaceFn>(dlsym(handle_, "tifGetReaderInterface"));
    if (entry == nullptr) {
        error = file + ": no tifGetReaderInterface entry point";
        return false;
    }
    entry(&table_);
    if (table_.allocateContext == nullptr || table_.freeContext == nullptr ||
        table_.initDoc == nullptr || table_.fillBuffer == nullptr ||
        table_.getSummaryInfo == nullptr || table_.getXmpInfo == nullptr) {
        error = file + ": the reader's table is incomplete";
        return false;
    }
    return true;
}

} // namespace sievecheck
