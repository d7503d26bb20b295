// Loads ZUDOR.dll at run time with LoadLibraryW, the way a Windows host does, and takes its
// table.
#include <windows.h>

#include "platform/utf16.h"
#include "zudor_host/module.h"

namespace zudorhost {

const char *moduleFileName() { return "ZUDOR.dll"; }
const char *systemModuleName() { return "ZUDOR.dll"; }

// An install keeps the DLL beside the program, which defaultModulePlaces() tries first.
std::vector<std::string> installedModulePlaces(const std::string &) { return {}; }

LoadedModule::~LoadedModule()
{
    if (handle_ != nullptr)
        FreeLibrary(static_cast<HMODULE>(handle_));
}

bool LoadedModule::loadFrom(const std::string &file, std::string &error)
{
    HMODULE handle = LoadLibraryW(toUtf16(file).c_str());
    if (handle == nullptr) {
        error = file + ": " + systemMessage(GetLastError());
        return false;
    }
    auto entry = reinterpret_cast<TifGetReaderInterfaceFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(handle, "tifGetReaderInterface")));
    ReaderInterface table{};
    if (!takeTable(entry, file, table, error)) {
        FreeLibrary(handle);
        return false;
    }
    if (handle_ != nullptr)
        FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = handle;
    table_ = table;
    return true;
}

} // namespace zudorhost
