// The operating system on POSIX systems: every system call of the host library and its front
// ends.
#include "platform/system.h"
#include "zudor_host/module.h"
#include "zudor_host/platform.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
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

// A file's identity from what stat tells, taken from the wall clock, which is what the file
// system stamps times from.
FileIdentity identityFromStat(const struct stat &info)
{
    FileIdentity identity;
    identity.size = uint64_t(info.st_size);
    identity.modifiedNs = int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    identity.inode = uint64_t(info.st_ino);
    identity.takenNs = wallClockNs();
    return identity;
}

// Why a path that is neither a regular file nor a directory is refused, in the same words
// whether it was named, listed or opened.
const char *notRegularFile(mode_t mode)
{
    if (S_ISFIFO(mode))
        return "not a regular file (a named pipe)";
    if (S_ISSOCK(mode))
        return "not a regular file (a socket)";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "not a regular file (a device)";
    return "not a regular file";
}

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

// ---- The public part (zudor_host/platform.h, inputs.h).

int64_t wallClockNs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

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

bool setTimeZone(const std::string &zone, std::string &error)
{
    const std::string file = !zone.empty() && zone[0] == ':' ? zone.substr(1) : zone;
    const bool known = !zone.empty() && zone.find('\0') == std::string::npos &&
                       (isPosixRule(zone) ||
                        (!file.empty() && file.find("..") == std::string::npos &&
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
    const std::string zone = tz != nullptr ? tz : ":/etc/localtime";
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

std::string homeDirectory()
{
    const char *home = std::getenv("HOME");
    return home != nullptr ? home : "";
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

void *loadSystemLibrary(const char *name, std::string &why) { return os::openLibrary(name, why); }

void *librarySymbol(void *library, const char *name) { return os::symbolOf(library, name); }

// The reader module's names (zudor_host/module.h).
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

namespace os {

// ---- Files.

bool openDocument(const std::string &path, char *window, uint32_t windowBytes, int &fd, uint32_t &got, uint64_t &size,
                  FileIdentity *identity, std::string &error)
{
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info;
    if (fd < 0) {
        // A socket cannot be opened; say what it is, as the look at a named path does.
        const int code = errno;
        error = code == ENXIO && stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)
                    ? notRegularFile(info.st_mode)
                    : std::string("cannot open: ") + std::strerror(code);
        return false;
    }
    if (identity != nullptr) {
        if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
            *identity = identityFromStat(info);
        else
            *identity = FileIdentity{};
    }
    // The first window is filled now. A file that ends inside it is sized by that one pread,
    // so a small document costs open, pread and close. Only a read that fails, finds nothing
    // or fills the window needs a look at what was opened: a pipe fails the pread, a device
    // reads nothing or without end (a directory fails it too, and says so).
    ssize_t read;
    do
        read = pread(fd, window, windowBytes, 0);
    while (read < 0 && errno == EINTR);
    const int readError = errno;
    if (read <= 0 || read == ssize_t(windowBytes)) {
        if (fstat(fd, &info) != 0)
            info.st_mode = 0;
        if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
            error = notRegularFile(info.st_mode);
            closeFile(fd);
            return false;
        }
    }
    if (read < 0) {
        error = std::string("cannot read: ") + std::strerror(readError);
        closeFile(fd);
        return false;
    }
    got = uint32_t(read);
    size = got < windowBytes ? uint64_t(got) : uint64_t(info.st_size);
    return true;
}

uint32_t readAt(int fd, char *to, uint32_t count, uint64_t offset)
{
    uint32_t done = 0;
    while (done < count) {
        const ssize_t got = pread(fd, to + done, count - done, off_t(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += uint32_t(got);
    }
    return done;
}

void closeFile(int fd) { ::close(fd); }

// ---- Directories.

bool listDirectory(Listing &listing, std::string &error)
{
    DIR *dir = opendir(listing.prefix.c_str());
    if (dir == nullptr) {
        error = std::string("cannot read directory: ") + std::strerror(errno);
        return false;
    }
    errno = 0;
    for (const dirent *entry; (entry = readdir(dir)) != nullptr; errno = 0) {
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        bool isDir = entry->d_type == DT_DIR, isFile = entry->d_type == DT_REG;
        bool isLink = entry->d_type == DT_LNK;
        struct stat info;
        // Some file systems (XFS without ftype, some network mounts) give no type: look
        // without following a link, so that a link there is taken as one too.
        if (entry->d_type == DT_UNKNOWN && fstatat(dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
            isLink = S_ISLNK(info.st_mode);
            isDir = S_ISDIR(info.st_mode);
            isFile = S_ISREG(info.st_mode);
        }
        // A link counts as what it leads to, but the walk never follows one into a directory,
        // so a linked loop cannot trap it.
        if (isLink && fstatat(dirfd(dir), name, &info, 0) == 0)
            isFile = S_ISREG(info.st_mode);
        if (isDir || isFile)
            listing.add(name, std::strlen(name), isDir);
    }
    const int failed = errno;
    closedir(dir);
    if (failed != 0) {
        error = std::string("cannot read directory: ") + std::strerror(failed);
        return false;
    }
    return true;
}

NamedKind namedKind(const std::string &path, std::string &why)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode))
        return NamedKind::File;
    if (S_ISDIR(info.st_mode))
        return NamedKind::Directory;
    why = notRegularFile(info.st_mode);
    return NamedKind::Refused;
}

bool endsInSeparator(const std::string &path) { return path.back() == '/'; }

ptrdiff_t readDelimited(char **line, size_t *capacity, char separator, std::FILE *from)
{
    return getdelim(line, capacity, separator, from);
}

// ---- Libraries.

void *openLibrary(const std::string &file, std::string &why)
{
    void *library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char *detail = dlerror();
        why = detail != nullptr ? detail : "cannot load " + file;
    }
    return library;
}

void *symbolOf(void *library, const char *name) { return dlsym(library, name); }

void closeLibrary(void *library) { dlclose(library); }

// ---- Locks: an open file description lock (Linux), which, unlike a classic POSIX lock, is not
// dropped when another descriptor of the same file (SQLite's) is closed.

int lockByte(const std::string &path, uint64_t offset, bool wait, LockRefusal &refusal, std::string &error)
{
    refusal = LockRefusal::None;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        refusal = errno == EROFS || errno == EACCES || errno == EPERM ? LockRefusal::ReadOnly : LockRefusal::Other;
        error = std::string("cannot write: ") + std::strerror(errno);
        return -1;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = off_t(offset);
    lock.l_len = 1;
    int result;
    do
        result = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
    while (result != 0 && errno == EINTR);
    if (result == 0)
        return fd;
    refusal = errno == EAGAIN || errno == EACCES ? LockRefusal::Busy : LockRefusal::Other;
    error = std::string("cannot lock: ") + std::strerror(errno);
    ::close(fd);
    return -1;
}

// access() asks for the caller's rights, which for root ignore the mode: a read-only mount
// still answers EROFS.
bool folderWritable(const std::string &path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    return ::access(folder.c_str(), W_OK) == 0;
}

void loadTimeZone() { tzset(); }

const char *sqliteFileLayer() { return nullptr; }

// ---- Standard input.

long readSomeStandardInput(char *into, size_t room)
{
    ssize_t got;
    do
        got = ::read(STDIN_FILENO, into, room);
    while (got < 0 && errno == EINTR);
    return long(got);
}

} // namespace os
} // namespace zudorhost
