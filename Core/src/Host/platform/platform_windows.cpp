// The system calls of the host library and its front ends on Windows.
#include "zudor_host/platform.h"
#include "platform/standard_input.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include "platform/utf16.h"

namespace zudorhost {

std::vector<std::string> commandLineArguments(int, char **)
{
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; wide != nullptr && i < count; ++i)
        arguments.push_back(toUtf8(wide[i], wcslen(wide[i])));
    LocalFree(wide);
    return arguments;
}

void useBinaryStandardStreams()
{
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // Records are UTF-8; a console shows them as such only when told so.
    if (_isatty(_fileno(stdout)) || _isatty(_fileno(stderr)))
        SetConsoleOutputCP(CP_UTF8);
}

std::FILE *openFile(const std::string &path, const char *mode)
{
    return _wfopen(toUtf16(path).c_str(), toUtf16(mode).c_str());
}

bool isTerminal(std::FILE *stream) { return _isatty(_fileno(stream)) != 0; }

namespace {

bool fileIdentity(const std::string &path, BY_HANDLE_FILE_INFORMATION &info)
{
    HANDLE file = CreateFileW(toUtf16(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    return known;
}

} // namespace

bool sameFile(const std::string &a, const std::string &b)
{
    BY_HANDLE_FILE_INFORMATION ia, ib;
    return fileIdentity(a, ia) && fileIdentity(b, ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

void settleLocalTimeZone() {}

// The C runtime knows zones only as rules: a name of three letters, an offset, and a name for
// summer time ("EST5EDT", "CET-1CEST"); "UTC" is taken as "UTC0".
bool setTimeZone(const std::string &given, std::string &error)
{
    const std::string zone = given == "UTC" ? "UTC0" : given;
    size_t i = 0;
    while (i < zone.size() && std::isalpha(static_cast<unsigned char>(zone[i])))
        ++i;
    size_t digits = i + (i < zone.size() && (zone[i] == '+' || zone[i] == '-'));
    if (i < 3 || digits >= zone.size() || !std::isdigit(static_cast<unsigned char>(zone[digits]))) {
        error = "unknown time zone \"" + given + "\": this build knows zones as TZ rules such as EST5EDT, CET-1CEST or UTC0";
        return false;
    }
    _putenv_s("TZ", zone.c_str());
    _tzset();
    return true;
}

std::string timeZoneName()
{
    const char *tz = std::getenv("TZ");
    if (tz != nullptr && *tz != '\0')
        return tz;
    DYNAMIC_TIME_ZONE_INFORMATION zone{};
    if (GetDynamicTimeZoneInformation(&zone) != TIME_ZONE_ID_INVALID && zone.TimeZoneKeyName[0] != L'\0')
        return toUtf8(zone.TimeZoneKeyName, wcslen(zone.TimeZoneKeyName));
    return "localtime";
}

long readSomeStandardInput(char *into, size_t room)
{
    return _read(_fileno(stdin), into, unsigned(std::min<size_t>(room, 1u << 30)));
}

// Windows has no per-thread handle tables.
bool takeOwnDescriptorTable() { return false; }

bool pathExists(const std::string &path)
{
    return GetFileAttributesW(toUtf16(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

namespace {

std::string folderOf(HMODULE module)
{
    std::wstring path(MAX_PATH, L'\0');
    while (true) {
        const DWORD n = GetModuleFileNameW(module, &path[0], DWORD(path.size()));
        if (n == 0)
            return std::string();
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::string() : toUtf8(path.substr(0, slash));
}

} // namespace

std::string programDirectory() { return folderOf(nullptr); }

std::string directoryOfCode(const void *address)
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module))
        return std::string();
    return folderOf(module);
}

bool fileIdentity(const std::string &, FileIdentity &) { return false; }

void *loadSystemLibrary(const char *name, std::string &why)
{
    HMODULE library = LoadLibraryExW(toUtf16(name).c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (library == nullptr)
        why = std::string("cannot load ") + name + " (error " + std::to_string(GetLastError()) + ")";
    return reinterpret_cast<void *>(library);
}

void *librarySymbol(void *library, const char *name)
{
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

} // namespace zudorhost
