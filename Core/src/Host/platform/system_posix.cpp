// The operating system on POSIX systems: every system call of the host library and its front
// ends.
#include "platform/loader.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/system_calls.h"
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
#include <pthread.h>
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
// Batched opens take liburing's header at build time and its library when first needed; not
// under the thread sanitizer, which would take the ring's memory for a race between threads.
#include "platform/sanitizers.h"
#if defined(__linux__) && defined(__has_include) && !defined(ZUDOR_THREAD_SANITIZED)
#if __has_include(<liburing.h>)
#define ZUDOR_OPENED_AHEAD 1
#include <liburing.h>
#endif
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

// Used by the batched opens alone, which a build may leave out.
[[maybe_unused]] bool sameDirectory(const std::string &a, const std::string &b)
{
    const size_t slash = a.rfind('/');
    return slash == b.rfind('/') && (slash == std::string::npos || a.compare(0, slash, b, 0, slash) == 0);
}

// The file's name, to open relative to descriptor `at`; the whole path, with `at` the current
// directory, where there is no directory kept (null, or not keeping), the path has no
// directory part or that directory cannot be opened.
const char *relativeName(os::Opener::Directory *kept, const std::string &path, int &at)
{
    at = AT_FDCWD;
    const size_t slash = path.rfind('/');
    if (kept == nullptr || !kept->keep || slash == std::string::npos || slash + 1 == path.size())
        return path.c_str();
    os::Opener::Directory &dir = *kept;
    const size_t length = slash + 1;
    if (dir.fd < 0 || dir.prefix.size() != length || path.compare(0, length, dir.prefix) != 0) {
        if (dir.fd >= 0)
            os::systemCalls().close(dir.fd);
        dir.prefix.assign(path, 0, length);
        dir.fd = os::systemCalls().openat(AT_FDCWD, dir.prefix.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
        if (dir.fd < 0)
            dir.prefix.clear();
    }
    if (dir.fd < 0)
        return path.c_str();
    at = dir.fd;
    return path.c_str() + length;
}

#ifdef ZUDOR_OPENED_AHEAD
// Files opened together, and how much of each the open reads: a one-page file is a few KiB;
// a file larger than that is opened again and read through the stream's window as usual.
constexpr size_t kAheadFiles = 32;
constexpr uint32_t kAheadBytes = 8 * 1024;

// The four functions of liburing that are not inline in its header.
struct Uring {
    int (*queueInit)(unsigned, io_uring *, unsigned);
    void (*queueExit)(io_uring *);
    int (*registerFilesSparse)(io_uring *, unsigned);
    int (*submitAndWait)(io_uring *, unsigned);
};

// Loaded at the first batch, as libcurl is at the first URL: a system without liburing
// opens each file with system calls.
const Uring *uring()
{
    static const Uring *const loaded = []() -> const Uring * {
        std::string why;
        void *library = os::openLibrary("liburing.so.2", why);
        if (library == nullptr)
            return nullptr;
        static Uring u;
        u.queueInit = reinterpret_cast<decltype(u.queueInit)>(os::symbolOf(library, "io_uring_queue_init"));
        u.queueExit = reinterpret_cast<decltype(u.queueExit)>(os::symbolOf(library, "io_uring_queue_exit"));
        u.registerFilesSparse =
            reinterpret_cast<decltype(u.registerFilesSparse)>(os::symbolOf(library, "io_uring_register_files_sparse"));
        u.submitAndWait = reinterpret_cast<decltype(u.submitAndWait)>(os::symbolOf(library, "io_uring_submit_and_wait"));
        if (u.queueInit == nullptr || u.queueExit == nullptr || u.registerFilesSparse == nullptr ||
            u.submitAndWait == nullptr)
            return nullptr;
        return &u;
    }();
    return loaded;
}
#endif

// constexpr, so that the table is filled before any code runs: a test's own statics copy it.
constexpr os::SystemCalls systemDefaults()
{
    os::SystemCalls c{};
    c.openat = [](int at, const char *path, int flags, mode_t mode) { return ::openat(at, path, flags, mode); };
    c.pread = ::pread;
    c.fstat = [](int fd, struct stat *info) { return ::fstat(fd, info); };
    c.lock = [](int fd, int command, struct flock *range) { return ::fcntl(fd, command, range); };
    c.close = ::close;
    c.opendir = ::opendir;
    c.readdir = ::readdir;
#ifdef ZUDOR_OPENED_AHEAD
    c.ringInit = [](unsigned entries, io_uring *ring, unsigned flags) {
        return uring() != nullptr ? uring()->queueInit(entries, ring, flags) : -ENOSYS;
    };
    c.ringSubmitAndWait = [](io_uring *ring, unsigned waitFor) {
        return uring() != nullptr ? uring()->submitAndWait(ring, waitFor) : -ENOSYS;
    };
#else
    c.ringInit = [](unsigned, io_uring *, unsigned) { return -ENOSYS; };
    c.ringSubmitAndWait = [](io_uring *, unsigned) { return -ENOSYS; };
#endif
    return c;
}

constexpr os::SystemCalls kSystemCalls = systemDefaults();
os::SystemCalls calls = kSystemCalls;

} // namespace

os::SystemCalls &os::systemCalls() { return calls; }

void os::restoreSystemCalls() { calls = kSystemCalls; }

// ---- The public part (zudor_host/platform.h, file_identity.h).

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

// Whether path is a compiled zone: a regular file that starts as one does. A directory of zones
// (Europe), the zone directory's tables (zone.tab) or any other readable file would otherwise
// be taken, and the C library would read DateTimes in UTC without a word.
static bool isZoneFile(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st;
    char magic[4];
    const bool zone = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::read(fd, magic, 4) == 4 &&
                      std::memcmp(magic, "TZif", 4) == 0;
    ::close(fd);
    return zone;
}

bool isTimeZone(const std::string &zone, std::string &error)
{
    const std::string file = !zone.empty() && zone[0] == ':' ? zone.substr(1) : zone;
    const bool known = !zone.empty() && zone.find('\0') == std::string::npos &&
                       (isPosixRule(zone) ||
                        (!file.empty() && file.find("..") == std::string::npos &&
                         isZoneFile(file[0] == '/' ? file : zoneDirectory() + "/" + file)));
    if (!known) {
        error = "unknown time zone \"" + zone + "\": give a name of " + zoneDirectory() +
                " (Europe/Berlin, UTC) or a POSIX rule (EST5EDT, CET-1CEST,M3.5.0,M10.5.0/3)";
        return false;
    }
    return true;
}

bool setTimeZone(const std::string &zone, std::string &error)
{
    if (!isTimeZone(zone, error))
        return false;
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

namespace {
bool identityAt(os::Opener::Directory *kept, const std::string &path, FileIdentity &identity)
{
    int at;
    const char *name = relativeName(kept, path, at);
    struct stat info;
    if (fstatat(at, name, &info, 0) != 0 || !S_ISREG(info.st_mode))
        return false;
    identity = identityFromStat(info);
    return true;
}
} // namespace

bool fileIdentity(const std::string &path, FileIdentity &identity) { return identityAt(nullptr, path, identity); }

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

namespace os {

// ---- Batched opens.

struct Opener::Engine {
#ifdef ZUDOR_OPENED_AHEAD
    const Uring &lib;
    io_uring ring{};
    // Zeroed once: a memory checker, which does not see the kernel write it, takes it as
    // written.
    std::unique_ptr<char[]> staging{new char[kAheadFiles * kAheadBytes]()};
    const std::string *paths[kAheadFiles] = {};
    int read[kAheadFiles] = {}; // bytes the batch read of each file, or a negative errno
    size_t count = 0, next = 0;

    bool live = false; // the ring was made
    bool broken = false; // a call failed: the ring is not trusted again

    explicit Engine(const Uring &u) : lib(u) {}
    ~Engine()
    {
        if (live)
            lib.queueExit(&ring);
    }

    // Opens, reads and closes files [begin, end), which share a directory, in one call.
    bool run(Opener::Directory &directory, size_t begin, size_t end)
    {
        for (size_t k = begin; k < end; ++k) {
            read[k] = -ECANCELED;
            int at;
            const char *name = relativeName(&directory, *paths[k], at);
            const unsigned slot = unsigned(k);
            io_uring_sqe *sqe = io_uring_get_sqe(&ring);
            io_uring_prep_openat_direct(sqe, at, name, O_RDONLY | O_NONBLOCK, 0, slot);
            sqe->flags |= IOSQE_IO_LINK;
            io_uring_sqe_set_data64(sqe, 2 * k);
            sqe = io_uring_get_sqe(&ring);
            io_uring_prep_read(sqe, int(slot), staging.get() + k * kAheadBytes, kAheadBytes, 0);
            // The close follows a short read too: a small file's read is short.
            sqe->flags |= IOSQE_FIXED_FILE | IOSQE_IO_HARDLINK;
            io_uring_sqe_set_data64(sqe, 2 * k + 1);
            sqe = io_uring_get_sqe(&ring);
            io_uring_prep_close_direct(sqe, slot);
            io_uring_sqe_set_data64(sqe, UINT64_MAX);
        }
        unsigned waiting = unsigned(3 * (end - begin));
        while (waiting != 0) {
            const int done = calls.ringSubmitAndWait(&ring, waiting);
            if (done < 0 && done != -EINTR)
                return false;
            unsigned head, seen = 0;
            io_uring_cqe *cqe;
            io_uring_for_each_cqe(&ring, head, cqe)
            {
                const uint64_t tag = io_uring_cqe_get_data64(cqe);
                // The read's answer stands, or the open's failure where there was no read.
                if (tag != UINT64_MAX && (tag % 2 == 1 || cqe->res < 0))
                    read[tag / 2] = cqe->res;
                ++seen;
            }
            io_uring_cq_advance(&ring, seen);
            waiting -= std::min(waiting, seen);
        }
        return true;
    }
#endif
};

namespace {
// What the batch read of the file at path, when that was all of it: the bytes and their
// number; -1 otherwise.
int readAhead(Opener::Engine *e, const std::string &path, const char *&bytes)
{
#ifdef ZUDOR_OPENED_AHEAD
    if (e == nullptr)
        return -1;
    for (size_t k = e->next; k < e->count; ++k) {
        if (e->paths[k] != &path && *e->paths[k] != path)
            continue;
        e->next = k + 1;
        bytes = e->staging.get() + k * kAheadBytes;
        return e->read[k] > 0 && uint32_t(e->read[k]) < kAheadBytes ? e->read[k] : -1;
    }
#else
    (void)e;
    (void)path;
    (void)bytes;
#endif
    return -1;
}

// ---- Files.

bool openWith(Opener::Directory *kept, Opener::Engine *batch, const std::string &path, char *window,
              uint32_t windowBytes, int &fd, uint32_t &got, uint64_t &size, FileIdentity *identity,
              std::string &error)
{
    // A file a batch read whole needs no descriptor: the stream serves it from its window.
    const char *ahead = nullptr;
    const int aheadBytes = identity == nullptr ? readAhead(batch, path, ahead) : -1;
    if (aheadBytes > 0 && uint32_t(aheadBytes) < windowBytes) {
        std::memcpy(window, ahead, size_t(aheadBytes));
        fd = -1;
        got = uint32_t(aheadBytes);
        size = got;
        return true;
    }
    int at;
    const char *name = relativeName(kept, path, at);
    fd = calls.openat(at, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
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
        if (calls.fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
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
        read = calls.pread(fd, window, windowBytes, 0);
    while (read < 0 && errno == EINTR);
    const int readError = errno;
    // A short read is the end of the file only once a read there finds nothing: a network or
    // user-space file system may answer with less, and taking that for the end would cut the
    // document short without a word.
    while (read > 0 && read < ssize_t(windowBytes)) {
        const ssize_t more = calls.pread(fd, window + read, windowBytes - size_t(read), off_t(read));
        if (more < 0 && errno == EINTR)
            continue;
        if (more <= 0)
            break;
        read += more;
    }
    if (read <= 0 || read == ssize_t(windowBytes)) {
        if (calls.fstat(fd, &info) != 0)
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
} // namespace

bool openDocument(const std::string &path, char *window, uint32_t windowBytes, int &fd, uint32_t &got, uint64_t &size,
                  FileIdentity *identity, std::string &error)
{
    return openWith(nullptr, nullptr, path, window, windowBytes, fd, got, size, identity, error);
}

uint32_t readAt(int fd, char *to, uint32_t count, uint64_t offset)
{
    uint32_t done = 0;
    while (done < count) {
        const ssize_t got = calls.pread(fd, to + done, count - done, off_t(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += uint32_t(got);
    }
    return done;
}

void closeFile(int fd) { calls.close(fd); }

Opener::Opener(const System &system) : system_(system) {}

Opener::~Opener() { letGo(); }

bool Opener::openDocument(const std::string &path, char *window, uint32_t windowBytes, int &fd, uint32_t &got,
                          uint64_t &size, FileIdentity *identity, std::string &error)
{
    return system_.openDocument(this, path, window, windowBytes, fd, got, size, identity, error);
}

bool Opener::fileIdentity(const std::string &path, FileIdentity &identity)
{
    return system_.fileIdentity(this, path, identity);
}

namespace {
bool nativeOpenDocument(Opener *through, const std::string &path, char *window, uint32_t windowBytes, int &fd,
                        uint32_t &got, uint64_t &size, FileIdentity *identity, std::string &error)
{
    return openWith(through != nullptr ? &through->directory() : nullptr, through != nullptr ? through->batch() : nullptr,
                    path, window, windowBytes, fd, got, size, identity, error);
}

// A re-scan of an unchanged tree is mostly this look: while the opener keeps directories the
// name is looked up in its open directory, not through every folder on its path again.
bool nativeFileIdentity(Opener *through, const std::string &path, FileIdentity &identity)
{
    return identityAt(through != nullptr ? &through->directory() : nullptr, path, identity);
}
} // namespace

#ifdef ZUDOR_OPENED_AHEAD
namespace {
// The ring of one thread, or null where the system refuses it: a container's seccomp filter,
// kernel.io_uring_disabled, or an old kernel without tables of direct descriptors. Each file
// is then opened as usual.
std::unique_ptr<Opener::Engine> makeRing()
{
    const Uring *lib = uring();
    if (lib == nullptr)
        return nullptr;
    auto engine = std::make_unique<Opener::Engine>(*lib);
    if (calls.ringInit(unsigned(4 * kAheadFiles), &engine->ring, 0) != 0)
        return nullptr;
    engine->live = true;
    if (lib->registerFilesSparse(&engine->ring, unsigned(kAheadFiles)) != 0)
        return nullptr;
    return engine;
}
} // namespace
#endif

void Opener::openAhead(const std::string *const *paths, size_t count)
{
#ifdef ZUDOR_OPENED_AHEAD
    if (engine_)
        engine_->count = 0;
    if (!tried_) {
        tried_ = true;
        engine_ = makeRing();
    }
    if (!engine_ || engine_->broken)
        return;
    Engine &e = *engine_;
    e.count = std::min(count, kAheadFiles);
    std::copy(paths, paths + e.count, e.paths);
    // One call per run of files in one directory: the directory a name is opened relative to
    // stays open until the next run.
    size_t begin = 0;
    for (size_t k = 1; k <= e.count; ++k) {
        if (k < e.count && sameDirectory(*e.paths[k], *e.paths[begin]))
            continue;
        if (!e.run(directory_, begin, k)) {
            // A ring that fails once is not trusted again; it goes with its thread's runner.
            e.broken = true;
            e.count = 0;
            return;
        }
        begin = k;
    }
    e.next = 0;
#else
    (void)paths;
    (void)count;
#endif
}

void Opener::keepDirectories() { directory_.keep = true; }

void Opener::letGo()
{
#ifdef ZUDOR_OPENED_AHEAD
    if (engine_)
        engine_->count = 0;
#endif
    directory_.keep = false;
    if (directory_.fd >= 0)
        calls.close(directory_.fd);
    directory_.fd = -1;
    directory_.prefix.clear();
}

// ---- Directories.

bool listDirectory(Listing &listing, std::string &error)
{
    DIR *dir = calls.opendir(listing.prefix.c_str());
    if (dir == nullptr) {
        error = std::string("cannot read directory: ") + std::strerror(errno);
        return false;
    }
    errno = 0;
    for (const dirent *entry; (entry = calls.readdir(dir)) != nullptr; errno = 0) {
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

namespace {

// A field of an ELF file, in the file's byte order.
uint64_t field(const unsigned char *at, size_t bytes, bool little)
{
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i)
        value |= uint64_t(at[little ? i : bytes - 1 - i]) << (8 * i);
    return value;
}

// Whether a library file may be loaded, by its program headers: one that asks for an
// executable stack would have the loader make every thread's stack executable, for good.
// A file that cannot be opened is left for the loader to say why.
bool loadableLibrary(const std::string &file, std::string &why)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return true;
    struct stat info;
    unsigned char header[64] = {};
    const ssize_t got = fstat(fd, &info) == 0 ? pread(fd, header, sizeof header, 0) : -1;
    const uint64_t size = got >= 0 ? uint64_t(info.st_size) : 0;
    const bool wide = header[4] == 2, little = header[5] == 1;
    const size_t headerBytes = wide ? 64 : 52, entryBytes = wide ? 56 : 32;
    std::string fault;
    uint64_t tableAt = 0, entrySize = 0, entries = 0;
    if (got < 0)
        fault = std::string("cannot read it: ") + std::strerror(errno);
    else if (size_t(got) < 16 || std::memcmp(header, "\x7f" "ELF", 4) != 0)
        fault = "it is not an ELF file";
    else if ((header[4] != 1 && header[4] != 2) || (header[5] != 1 && header[5] != 2))
        fault = "its ELF header names no class or byte order it could have";
    else if (size_t(got) < headerBytes)
        fault = "its ELF header is cut short";
    if (fault.empty()) {
        tableAt = wide ? field(header + 32, 8, little) : field(header + 28, 4, little);
        entrySize = field(header + (wide ? 54 : 42), 2, little);
        entries = field(header + (wide ? 56 : 44), 2, little);
        if (entries == 0xffff)
            fault = "it has more program headers than its ELF header can count";
        else if (entrySize < entryBytes)
            fault = "its program headers are smaller than their kind";
        else if (tableAt > size || entries * entrySize > size - tableAt)
            fault = "its program headers lie beyond its end";
    }
    // What the loader assumes of a file that says nothing of its stack, on this machine.
#if defined(__x86_64__) || defined(__i386__)
    bool executableStack = true;
#else
    bool executableStack = false;
#endif
    std::vector<unsigned char> table(size_t(entries * entrySize));
    if (fault.empty() && !table.empty() &&
        pread(fd, table.data(), table.size(), off_t(tableAt)) != ssize_t(table.size()))
        fault = "its program headers cannot be read";
    ::close(fd);
    if (fault.empty())
        for (uint64_t i = 0; i < entries; ++i) {
            const unsigned char *entry = table.data() + i * entrySize;
            constexpr uint64_t kGnuStack = 0x6474e551, kExecutable = 1;
            if (field(entry, 4, little) == kGnuStack)
                executableStack = (field(entry + (wide ? 4 : 24), 4, little) & kExecutable) != 0;
        }
    if (fault.empty() && executableStack)
        fault = "it asks for an executable stack";
    if (fault.empty())
        return true;
    why = file + ": " + fault;
    return false;
}

} // namespace

void *openLibrary(const std::string &file, std::string &why)
{
    // Named by a path, a file to look at first; a bare name is the system's, found by the loader.
    if (file.find('/') != std::string::npos && !loadableLibrary(file, why))
        return nullptr;
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
    const int fd = calls.openat(AT_FDCWD, path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
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
        result = calls.lock(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
    while (result != 0 && errno == EINTR);
    if (result == 0)
        return fd;
    refusal = errno == EAGAIN || errno == EACCES ? LockRefusal::Busy : LockRefusal::Other;
    error = std::string("cannot lock: ") + std::strerror(errno);
    calls.close(fd);
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

bool utcCalendar(int64_t seconds, std::tm &fields)
{
    const time_t when = time_t(seconds);
    return gmtime_r(&when, &fields) != nullptr;
}

std::string environmentVariable(const char *name, bool &set)
{
    const char *value = std::getenv(name);
    set = value != nullptr;
    return set ? value : std::string();
}

std::string timeZoneVariable(bool &set)
{
    const char *tz = std::getenv("TZ");
    set = tz != nullptr;
    return set ? tz : std::string();
}

void restoreTimeZoneVariable(const std::string &value, bool set)
{
    if (set)
        setenv("TZ", value.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

void nameThisThread(const char *name)
{
#ifdef __linux__
    char shown[16] = {};
    std::strncpy(shown, name, sizeof shown - 1);
    pthread_setname_np(pthread_self(), shown);
#else
    (void)name;
#endif
}

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

// ---- The machine's own system: every entry above, constant-initialised, so that a test's
// statics can copy it.
namespace {
constexpr System kNative = {
    nativeOpenDocument, nativeFileIdentity, readAt, closeFile, listDirectory, namedKind, lockByte, folderWritable,
    environmentVariable, wallClockNs, utcCalendar, loadTimeZone,
};
} // namespace

const System &native() { return kNative; }

} // namespace os
} // namespace zudorhost
