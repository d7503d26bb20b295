// The system calls of the host library and its front ends on POSIX systems.
#include "zudor_host/platform.h"
#include "platform/standard_input.h"
#include "platform/stat_identity_posix.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

// The thread sanitizer keeps one table of descriptors per process and would take two workers'
// descriptors of the same number for one.
#if defined(__SANITIZE_THREAD__)
#define ZUDOR_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZUDOR_THREAD_SANITIZER 1
#endif
#endif
#if defined(__linux__) && !defined(ZUDOR_THREAD_SANITIZER)
#define ZUDOR_OWN_DESCRIPTOR_TABLES 1
#include <sched.h>
#endif

namespace zudorhost {
namespace {

std::string parentOf(const char *file)
{
    const char *slash = std::strrchr(file, '/');
    return slash == nullptr ? std::string() : std::string(file, size_t(slash - file));
}

} // namespace

std::vector<std::string> commandLineArguments(int argc, char **argv)
{
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void useBinaryStandardStreams() {}

std::FILE *openFile(const std::string &path, const char *mode) { return std::fopen(path.c_str(), mode); }

bool isTerminal(std::FILE *stream) { return isatty(fileno(stream)) != 0; }

bool sameFile(const std::string &a, const std::string &b)
{
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

void settleLocalTimeZone() { setenv("TZ", ":/etc/localtime", 0); }

namespace {

// A POSIX rule: a name of three or more letters (or one in <>), then an offset.
bool isPosixRule(const std::string &zone)
{
    size_t i = 0;
    if (!zone.empty() && zone[0] == '<') {
        i = zone.find('>');
        if (i == std::string::npos)
            return false;
        ++i;
    } else {
        while (i < zone.size() && std::isalpha(static_cast<unsigned char>(zone[i])))
            ++i;
        if (i < 3)
            return false;
    }
    if (i < zone.size() && (zone[i] == '+' || zone[i] == '-'))
        ++i;
    return i < zone.size() && std::isdigit(static_cast<unsigned char>(zone[i]));
}

std::string zoneDirectory()
{
    const char *dir = std::getenv("TZDIR");
    return dir != nullptr && *dir != '\0' ? dir : "/usr/share/zoneinfo";
}

} // namespace

bool setTimeZone(const std::string &zone, std::string &error)
{
    std::string file = zone[0] == ':' ? zone.substr(1) : zone;
    const bool known = !zone.empty() && zone.find('\0') == std::string::npos &&
                       (isPosixRule(zone) ||
                        (file.find("..") == std::string::npos &&
                         access((file[0] == '/' ? file : zoneDirectory() + "/" + file).c_str(), R_OK) == 0));
    if (!known) {
        error = "unknown time zone \"" + zone + "\": give a name of " + zoneDirectory() +
                " (Europe/Berlin, UTC) or a POSIX rule (EST5EDT, CET-1CEST,M3.5.0,M10.5.0/3)";
        return false;
    }
    setenv("TZ", zone.c_str(), 1);
    tzset();
    return true;
}

std::string timeZoneName()
{
    const char *tz = std::getenv("TZ");
    std::string zone = tz != nullptr ? tz : ":/etc/localtime";
    if (zone != ":/etc/localtime" && zone != "/etc/localtime" && !zone.empty())
        return zone[0] == ':' ? zone.substr(1) : zone;
    // The system's zone: /etc/localtime names it by the file it links to.
    char target[4096];
    const ssize_t n = readlink("/etc/localtime", target, sizeof target - 1);
    if (n > 0) {
        const std::string path(target, size_t(n));
        const size_t at = path.find("zoneinfo/");
        if (at != std::string::npos)
            return path.substr(at + 9);
    }
    return "localtime";
}

long readSomeStandardInput(char *into, size_t room)
{
    ssize_t got;
    do
        got = ::read(STDIN_FILENO, into, room);
    while (got < 0 && errno == EINTR);
    return long(got);
}

bool takeOwnDescriptorTable()
{
#ifdef ZUDOR_OWN_DESCRIPTOR_TABLES
    // A worker opens and closes a file or two per document. With one descriptor table for the
    // whole process, every open, read and close takes its locks and counts its references
    // against the other workers; a table of its own spares it both, as if it were a process of
    // its own. Where it is refused (a seccomp filter, say) the worker shares the table.
    return unshare(CLONE_FILES) == 0;
#else
    return false;
#endif
}

bool pathExists(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

bool fileIdentity(const std::string &path, FileIdentity &identity)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    identity = identityFromStat(info);
    return true;
}

std::string programDirectory()
{
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return {};
    path[n] = '\0';
    return parentOf(path);
}

std::string directoryOfCode(const void *address)
{
    Dl_info info;
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr)
        return {};
    char resolved[PATH_MAX];
    return parentOf(realpath(info.dli_fname, resolved) != nullptr ? resolved : info.dli_fname);
}

void *loadSystemLibrary(const char *name, std::string &why)
{
    void *library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char *detail = dlerror();
        why = detail != nullptr ? detail : std::string("cannot load ") + name;
    }
    return library;
}

void *librarySymbol(void *library, const char *name) { return dlsym(library, name); }

} // namespace zudorhost
