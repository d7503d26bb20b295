// Loading the module: where to look, and what is checked of the table the module wrote.
#include "zudor_host/module.h"

#include "platform/loader.h"
#include "platform/system.h"
#include "zudor_host/platform.h"

namespace zudorhost {

bool LoadedModule::takeTable(TifGetReaderInterfaceFn entry, const std::string &file, ReaderInterface &table,
                             std::string &error)
{
    if (entry != nullptr)
        entry(&table);
    if (entry == nullptr || table.allocateContext == nullptr || table.freeContext == nullptr ||
        table.initDoc == nullptr || table.fillBuffer == nullptr ||
        table.getSummaryInfo == nullptr || table.getXmpInfo == nullptr) {
        error = file + (entry == nullptr ? ": no tifGetReaderInterface entry point"
                                         : ": the reader's table is incomplete");
        return false;
    }
    return true;
}

LoadedModule::~LoadedModule()
{
    if (handle_ != nullptr)
        os::closeLibrary(handle_);
}

bool LoadedModule::loadFrom(const std::string &file, std::string &error)
{
    void *handle = os::openLibrary(file, error);
    if (handle == nullptr)
        return false;
    auto entry = reinterpret_cast<TifGetReaderInterfaceFn>(os::symbolOf(handle, "tifGetReaderInterface"));
    ReaderInterface table{};
    if (!takeTable(entry, file, table, error)) {
        os::closeLibrary(handle);
        return false;
    }
    if (handle_ != nullptr)
        os::closeLibrary(handle_);
    handle_ = handle;
    table_ = table;
    return true;
}

bool LoadedModule::load(const std::string &path, std::string &error)
{
    return path.empty() ? loadFirst(defaultModulePlaces(), error) : loadFrom(path, error);
}

bool LoadedModule::loadFirst(const std::vector<std::string> &places, std::string &error)
{
    std::string first;
    for (const std::string &place : places) {
        // A place that does not exist says nothing; the first real failure is the one to tell.
        const bool bare = place.find_first_of("/\\") == std::string::npos;
        if (!bare && !pathExists(place))
            continue;
        if (loadFrom(place, error))
            return true;
        if (first.empty())
            first = error;
    }
    error = first.empty() ? std::string("cannot find ") + systemModuleName() : first;
    return false;
}

} // namespace zudorhost
