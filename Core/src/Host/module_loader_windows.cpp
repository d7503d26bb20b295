// Loads ZUDOR.dll at run time with LoadLibraryW, the way a Windows host does, and takes its
// table.
#include <windows.h>

#include "utf16.h"
#include "zudor_host/zudor_host.h"

namespace zudorhost {
namespace {

constexpr const wchar_t *kModuleFileName = L"ZUDOR.dll";

// The folder of this program, with its trailing separator; an install keeps the DLL there.
std::wstring programFolder()
{
    std::wstring path(MAX_PATH, L'\0');
    while (true) {
        const DWORD n = GetModuleFileNameW(nullptr, &path[0], DWORD(path.size()));
        if (n == 0)
            return std::wstring();
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

} // namespace

LoadedModule::~LoadedModule()
{
    if (handle_ != nullptr)
        FreeLibrary(static_cast<HMODULE>(handle_));
}

bool LoadedModule::load(const std::string &path, std::string &error)
{
    if (!path.empty())
        return loadFrom(path, error);
    // Beside the program, else wherever the loader looks for a DLL.
    const std::wstring folder = programFolder();
    const std::wstring beside = folder + kModuleFileName;
    if (!folder.empty() && GetFileAttributesW(beside.c_str()) != INVALID_FILE_ATTRIBUTES)
        return loadFrom(toUtf8(beside), error);
    return loadFrom(toUtf8(std::wstring(kModuleFileName)), error);
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
