// The operating system on Windows: every system call of the host library and its front ends.
// Paths are UTF-8 everywhere else; here they become UTF-16 for the wide API, and back.
#include "platform/loader.h"
#include "platform/process.h"
#include "platform/system.h"
#include "zudor_host/platform.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <bcrypt.h>
#include <shellapi.h>

namespace zudorhost {
namespace {

std::wstring toUtf16(const std::string &utf8)
{
    if (utf8.empty())
        return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring wide(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), &wide[0], n);
    return wide;
}

std::string toUtf8(const wchar_t *utf16, size_t length)
{
    if (length == 0)
        return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, utf16, int(length), nullptr, 0, nullptr, nullptr);
    std::string narrow(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16, int(length), &narrow[0], n, nullptr, nullptr);
    return narrow;
}

std::string toUtf8(const std::wstring &utf16) { return toUtf8(utf16.data(), utf16.size()); }

// A path for the wide API at any length: one that reaches MAX_PATH, as given or once made
// absolute, gets the \\?\ prefix, under which Windows takes it as it is (so with '\' alone
// between its names) past 260 characters. Shorter ones stay as they are, so that a device's
// name (NUL, CON) still names the device. Records keep the path as the user gave it.
std::wstring widePath(const std::string &path)
{
    constexpr size_t kRoom = MAX_PATH - 12; // a directory's path also takes "\\*" and an 8.3 name
    std::wstring wide = toUtf16(path);
    const bool absolute = (wide.size() >= 3 && wide[1] == L':' && (wide[2] == L'\\' || wide[2] == L'/')) ||
                          (wide.size() >= 2 && (wide[0] == L'\\' || wide[0] == L'/') && (wide[1] == L'\\' || wide[1] == L'/'));
    if (wide.compare(0, 4, L"\\\\?\\") == 0 || (absolute && wide.size() < kRoom))
        return wide;
    std::wstring full(wide.size() + MAX_PATH, L'\0');
    DWORD n = GetFullPathNameW(wide.c_str(), DWORD(full.size()), &full[0], nullptr);
    if (n >= full.size()) {
        full.resize(n);
        n = GetFullPathNameW(wide.c_str(), DWORD(full.size()), &full[0], nullptr);
    }
    if (n == 0 || n >= full.size() || n < kRoom)
        return wide;
    full.resize(n);
    std::replace(full.begin(), full.end(), L'/', L'\\');
    if (full.compare(0, 2, L"\\\\") == 0) // \\server\share
        return L"\\\\?\\UNC" + full.substr(1);
    return L"\\\\?\\" + full;
}

// The message of a Windows error code, in the words the POSIX build uses for the usual ones,
// so that records read alike.
std::string systemMessage(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return "No such file or directory";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return "Permission denied";
    case ERROR_DIRECTORY:
        return "Not a directory";
    }
    wchar_t *text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::string message = n != 0 ? toUtf8(text, n) : "error " + std::to_string(code);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message;
}

const char *notRegularFile(DWORD type)
{
    switch (type) {
    case FILE_TYPE_PIPE: return "not a regular file (a named pipe)";
    case FILE_TYPE_CHAR: return "not a regular file (a device)";
    }
    return "not a regular file";
}

// A file's identity from its size and last write time, which the directory entry holds, so
// that a walk learns it without opening the file. Windows keeps no inode a look at a path
// gives; renamed files are told by their path, as everywhere.
FileIdentity identityOf(uint64_t size, const FILETIME &written)
{
    constexpr int64_t kUnixEpoch = 116444736000000000; // 1970-01-01 in FILETIME ticks
    const int64_t ticks = int64_t(uint64_t(written.dwHighDateTime) << 32 | written.dwLowDateTime);
    FileIdentity identity;
    identity.size = size;
    identity.modifiedNs = (ticks - kUnixEpoch) * 100;
    identity.takenNs = wallClockNs();
    return identity;
}

bool handleIdentity(const std::string &path, BY_HANDLE_FILE_INFORMATION &info)
{
    HANDLE file = CreateFileW(widePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    return known;
}

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

// ---- The public part (zudor_host/platform.h, file_identity.h).

int64_t wallClockNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

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
    return _wfopen(widePath(path).c_str(), toUtf16(mode).c_str());
}

bool isTerminal(std::FILE *stream) { return _isatty(_fileno(stream)) != 0; }

bool sameFile(const std::string &a, const std::string &b)
{
    BY_HANDLE_FILE_INFORMATION ia, ib;
    return handleIdentity(a, ia) && handleIdentity(b, ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

void settleLocalTimeZone() {}

// The C runtime knows zones only as rules: a name of three letters, an offset, and a name for
// summer time ("EST5EDT", "CET-1CEST"); "UTC" is taken as "UTC0".
bool isTimeZone(const std::string &given, std::string &error)
{
    const std::string zone = given == "UTC" ? "UTC0" : given;
    size_t i = 0;
    while (i < zone.size() && std::isalpha(static_cast<unsigned char>(zone[i])))
        ++i;
    const size_t digits = i + (i < zone.size() && (zone[i] == '+' || zone[i] == '-'));
    if (i < 3 || digits >= zone.size() || !std::isdigit(static_cast<unsigned char>(zone[digits]))) {
        error = "unknown time zone \"" + given + "\": this build knows zones as TZ rules such as EST5EDT, CET-1CEST or UTC0";
        return false;
    }
    return true;
}

bool setTimeZone(const std::string &given, std::string &error)
{
    if (!isTimeZone(given, error))
        return false;
    const std::string zone = given == "UTC" ? "UTC0" : given;
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

// Windows has no per-thread handle tables.
bool takeOwnDescriptorTable() { return false; }

// As the AWS tools and Python take it: %USERPROFILE%, else %HOMEDRIVE%%HOMEPATH%.
std::string homeDirectory()
{
    const wchar_t *profile = _wgetenv(L"USERPROFILE");
    if (profile != nullptr && *profile != L'\0')
        return toUtf8(profile, wcslen(profile));
    const wchar_t *drive = _wgetenv(L"HOMEDRIVE"), *path = _wgetenv(L"HOMEPATH");
    if (drive != nullptr && path != nullptr)
        return toUtf8(std::wstring(drive) + path);
    return std::string();
}

bool pathExists(const std::string &path)
{
    return GetFileAttributesW(widePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool fileIdentity(const std::string &path, FileIdentity &identity)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(widePath(path).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    identity = identityOf(uint64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow, data.ftLastWriteTime);
    return true;
}

std::string programDirectory() { return folderOf(nullptr); }

std::string directoryOfCode(const void *address)
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module))
        return std::string();
    return folderOf(module);
}

void *loadSystemLibrary(const char *name, std::string &why) { return os::openLibrary(name, why); }

void *librarySymbol(void *library, const char *name) { return os::symbolOf(library, name); }

namespace os {

// ---- Files: CreateFileW, and ReadFile at an offset given in an OVERLAPPED record, as pread
// reads elsewhere. The handle is kept as a C runtime descriptor, so the stream's state is the
// same on both platforms.

bool openDocument(const std::string &path, char *window, uint32_t windowBytes, int &fd, uint32_t &got, uint64_t &size,
                  FileIdentity *identity, std::string &error)
{
    const std::wstring wide = widePath(path);
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        // A directory cannot be opened here at all; say what the POSIX build's read says.
        const DWORD attributes = GetFileAttributesW(wide.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            error = "cannot read: Is a directory";
        else
            error = "cannot open: " + systemMessage(code);
        return false;
    }
    // Pipes and devices (NUL, CON, a named pipe) are refused, never waited on.
    LARGE_INTEGER length;
    const DWORD type = GetFileType(file);
    if (type != FILE_TYPE_DISK || !GetFileSizeEx(file, &length)) {
        CloseHandle(file);
        error = notRegularFile(type);
        return false;
    }
    // The identity is taken before the first byte is read, so what is read is never older.
    FILETIME written;
    if (identity != nullptr)
        *identity = GetFileTime(file, nullptr, nullptr, &written) ? identityOf(uint64_t(length.QuadPart), written)
                                                                  : FileIdentity{};
    fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        error = "cannot open: too many open files";
        return false;
    }
    const uint32_t want = uint64_t(length.QuadPart) < windowBytes ? uint32_t(length.QuadPart) : windowBytes;
    got = readAt(fd, window, want, 0);
    size = got < windowBytes ? got : uint64_t(length.QuadPart);
    return true;
}

uint32_t readAt(int fd, char *to, uint32_t count, uint64_t offset)
{
    const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    uint32_t done = 0;
    while (done < count) {
        OVERLAPPED at{};
        at.Offset = DWORD(offset + done);
        at.OffsetHigh = DWORD((offset + done) >> 32);
        DWORD got = 0;
        if (!ReadFile(file, to + done, count - done, &got, &at) || got == 0)
            break;
        done += got;
    }
    return done;
}

void closeFile(int fd) { _close(fd); }

// Windows opens every file by its whole path, one at a time.
struct Opener::Engine {};
Opener::Opener(const System &system) : system_(system) {}
Opener::~Opener() = default;

bool Opener::openDocument(const std::string &path, char *window, uint32_t windowBytes, int &fd, uint32_t &got,
                          uint64_t &size, FileIdentity *identity, std::string &error)
{
    return system_.openDocument(this, path, window, windowBytes, fd, got, size, identity, error);
}

bool Opener::fileIdentity(const std::string &path, FileIdentity &identity)
{
    return system_.fileIdentity(this, path, identity);
}

void Opener::keepDirectories() { directory_.keep = true; }
void Opener::openAhead(const std::string *const *, size_t) { tried_ = true; }
void Opener::letGo() { directory_.keep = false; }

// ---- Directories. Names come back in UTF-8 with '/' joining them, as on Linux, so the same
// relative inputs give the same paths in the same order on both.

bool listDirectory(Listing &listing, std::string &error)
{
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileExW(widePath(listing.prefix + '*').c_str(), FindExInfoBasic, &entry,
                                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) // nothing at all, not even "."
            return true;
        error = "cannot read directory: " + systemMessage(code);
        return false;
    }
    do {
        const wchar_t *name = entry.cFileName;
        if (name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0')))
            continue;
        const DWORD attributes = entry.dwFileAttributes;
        const bool isDir = attributes & FILE_ATTRIBUTE_DIRECTORY;
        // A link or junction to a directory is not followed, so a linked loop cannot trap
        // the walk; a link to a file is read like the file.
        if (isDir && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        const std::string utf8 = toUtf8(name, wcslen(name));
        listing.add(utf8.data(), utf8.size(), isDir);
    } while (FindNextFileW(find, &entry));
    const DWORD code = GetLastError();
    FindClose(find);
    if (code != ERROR_NO_MORE_FILES) {
        error = "cannot read directory: " + systemMessage(code);
        return false;
    }
    return true;
}

NamedKind namedKind(const std::string &path, std::string &why)
{
    const std::wstring wide = widePath(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return NamedKind::File;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return NamedKind::Directory;
    // Devices answer for names such as NUL and CON in any folder.
    const HANDLE file = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD type = file == INVALID_HANDLE_VALUE ? FILE_TYPE_DISK : GetFileType(file);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (type == FILE_TYPE_DISK)
        return NamedKind::File;
    why = notRegularFile(type);
    return NamedKind::Refused;
}

bool endsInSeparator(const std::string &path) { return path.back() == '/' || path.back() == '\\'; }

ptrdiff_t readDelimited(char **line, size_t *capacity, char separator, std::FILE *from)
{
    size_t length = 0;
    int c;
    _lock_file(from);
    while ((c = _getc_nolock(from)) != EOF) {
        if (length + 2 > *capacity) {
            const size_t grown = *capacity < 128 ? 128 : *capacity * 2;
            char *bigger = static_cast<char *>(std::realloc(*line, grown));
            if (bigger == nullptr)
                break;
            *line = bigger;
            *capacity = grown;
        }
        (*line)[length++] = char(c);
        if (char(c) == separator)
            break;
    }
    _unlock_file(from);
    if (length == 0)
        return -1;
    (*line)[length] = '\0';
    return ptrdiff_t(length);
}

// ---- Libraries: one loader for the module and for system libraries. A bare name is looked
// for in the system's places and the program's folder; a path is loaded as it is, its own
// dependencies found beside it.

void *openLibrary(const std::string &file, std::string &why)
{
    const bool bare = file.find_first_of("/\\") == std::string::npos;
    std::wstring wide = toUtf16(file);
    DWORD flags = LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
    if (!bare) {
        // The folder of the library itself is searched only for a full path.
        wchar_t full[MAX_PATH * 4];
        const DWORD n = GetFullPathNameW(wide.c_str(), DWORD(sizeof full / sizeof full[0]), full, nullptr);
        if (n != 0 && n < sizeof full / sizeof full[0])
            wide.assign(full, n);
        flags |= LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR;
    }
    HMODULE library = LoadLibraryExW(wide.c_str(), nullptr, flags);
    if (library == nullptr)
        why = file + ": " + systemMessage(GetLastError());
    return reinterpret_cast<void *>(library);
}

void *symbolOf(void *library, const char *name)
{
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void closeLibrary(void *library) { FreeLibrary(static_cast<HMODULE>(library)); }

// ---- Locks: LockFileEx on one byte, held until the descriptor is closed.

int lockByte(const std::string &path, uint64_t offset, bool wait, LockRefusal &refusal, std::string &error)
{
    refusal = LockRefusal::None;
    const HANDLE file = CreateFileW(widePath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        refusal = code == ERROR_ACCESS_DENIED || code == ERROR_WRITE_PROTECT ? LockRefusal::ReadOnly : LockRefusal::Other;
        error = "cannot write: " + systemMessage(code);
        return -1;
    }
    OVERLAPPED at{};
    at.Offset = DWORD(offset);
    at.OffsetHigh = DWORD(offset >> 32);
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    if (!LockFileEx(file, flags, 0, 1, 0, &at)) {
        const DWORD code = GetLastError();
        refusal = code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING ? LockRefusal::Busy : LockRefusal::Other;
        error = "cannot lock: " + systemMessage(code);
        CloseHandle(file);
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        error = "cannot lock: too many open files";
    }
    return fd;
}

bool folderWritable(const std::string &path)
{
    const size_t slash = path.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    return _waccess(widePath(folder).c_str(), 2) == 0;
}

std::wstring wide(const std::string &utf8) { return toUtf16(utf8); }
std::string narrow(const std::wstring &utf16) { return toUtf8(utf16); }
std::string windowsMessage(unsigned long code) { return systemMessage(DWORD(code)); }

void loadTimeZone() { _tzset(); }

bool utcCalendar(int64_t seconds, std::tm &fields)
{
    const time_t when = time_t(seconds);
    return gmtime_r(&when, &fields) != nullptr;
}

// The wide environment: getenv would hand back the ANSI code page's bytes, not UTF-8.
std::string environmentVariable(const char *name, bool &set)
{
    const wchar_t *value = _wgetenv(toUtf16(name).c_str());
    set = value != nullptr;
    return set ? toUtf8(value, wcslen(value)) : std::string();
}

std::string timeZoneVariable(bool &set)
{
    const char *tz = std::getenv("TZ");
    set = tz != nullptr && *tz != '\0';
    return set ? tz : std::string();
}

// An empty value removes the variable from the C runtime's environment.
void restoreTimeZoneVariable(const std::string &value, bool set)
{
    _putenv_s("TZ", set ? value.c_str() : "");
    _tzset();
}

void nameThisThread(const char *name)
{
    // Windows 10 1607 and later; looked up, as older systems and Wine 8 lack it.
    using SetDescription = HRESULT(WINAPI *)(HANDLE, PCWSTR);
    static const auto set = reinterpret_cast<SetDescription>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (set != nullptr)
        set(GetCurrentThread(), wide(name).c_str());
}

const char *sqliteFileLayer() { return "win32-longpath"; }

// ---- Standard input.

long readSomeStandardInput(char *into, size_t room)
{
    return _read(_fileno(stdin), into, unsigned(std::min<size_t>(room, 1u << 30)));
}

// ---- Digests: CNG's providers, opened once: opening one costs far more than a digest, and an
// open one serves every thread. Since Windows 7 a hash object can be made without a buffer of
// the caller's.

namespace {

struct Providers {
    BCRYPT_ALG_HANDLE plain = nullptr, keyed = nullptr;
};

const Providers &providers()
{
    static const Providers p = [] {
        Providers opened;
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&opened.plain, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
            opened.plain = nullptr;
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&opened.keyed, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                        BCRYPT_ALG_HANDLE_HMAC_FLAG)))
            opened.keyed = nullptr;
        return opened;
    }();
    return p;
}

bool digest(BCRYPT_ALG_HANDLE algorithm, const void *key, size_t keySize, const void *data, size_t size,
            unsigned char out[32])
{
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (algorithm == nullptr || keySize > ULONG_MAX ||
        !BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0,
                                         static_cast<PUCHAR>(const_cast<void *>(key)), ULONG(keySize), 0)))
        return false;
    auto *bytes = static_cast<PUCHAR>(const_cast<void *>(data));
    bool ok = true;
    while (ok && size > 0) {
        const ULONG piece = size > ULONG_MAX ? ULONG_MAX : ULONG(size);
        ok = BCRYPT_SUCCESS(BCryptHashData(hash, bytes, piece, 0));
        bytes += piece;
        size -= piece;
    }
    ok = ok && BCRYPT_SUCCESS(BCryptFinishHash(hash, out, 32, 0));
    BCryptDestroyHash(hash);
    return ok;
}

} // namespace

bool systemSha256(const void *data, size_t size, unsigned char out[32])
{
    return digest(providers().plain, nullptr, 0, data, size, out);
}

bool systemHmacSha256(const void *key, size_t keySize, const void *data, size_t size, unsigned char out[32])
{
    return digest(providers().keyed, key, keySize, data, size, out);
}

// ---- The machine's own system: every entry above, constant-initialised, so that a test's
// statics can copy it.
namespace {
bool nativeOpenDocument(Opener *, const std::string &path, char *window, uint32_t windowBytes, int &fd, uint32_t &got,
                        uint64_t &size, FileIdentity *identity, std::string &error)
{
    return openDocument(path, window, windowBytes, fd, got, size, identity, error);
}

bool nativeFileIdentity(Opener *, const std::string &path, FileIdentity &identity)
{
    return zudorhost::fileIdentity(path, identity);
}

constexpr System kNative = {
    nativeOpenDocument, nativeFileIdentity, readAt, closeFile, listDirectory, namedKind, lockByte, folderWritable,
    environmentVariable, wallClockNs, utcCalendar, loadTimeZone,
};
} // namespace

const System &native() { return kNative; }

} // namespace os
} // namespace zudorhost
