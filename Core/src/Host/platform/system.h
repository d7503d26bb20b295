// The host library's one door to the operating system, in the manner of SQLite's os_unix.c and
// os_win.c: files, directories, library loading, locks, the clock, descriptor tables and
// standard input behind one header, with one implementation per platform (system_posix.cpp,
// system_windows.cpp). No other file of the library includes a system header, but for the
// reader processes of isolated reading (worker_process.h, with files of its own per platform). Paths are UTF-8
// on every platform; Windows' UTF-16 begins and ends in system_windows.cpp. The public part
// (zudor_host/platform.h, the module's names of module.h, wallClockNs of file_identity.h) is
// implemented there too. On POSIX systems the calls behind files, directories, locks and the
// io_uring batch go through one table (system_calls.h), which tests replace to inject faults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "zudor_host/file_identity.h"

namespace zudorhost {
namespace os {

// ---- Files. A descriptor is a C runtime descriptor on every platform.

// Opens a regular file to read, never waiting on it (a pipe or a device is refused in the
// words of notRegularFile), and reads its first bytes into window (up to windowBytes): the
// descriptor, how many came and the file's size. With identity, the file's identity is taken
// before that first read, where the platform keeps one. The path is looked up whole; a reading
// thread opens through its Opener instead.
bool openDocument(const std::string &path, char *window, uint32_t windowBytes, int &fd, uint32_t &got, uint64_t &size,
                  FileIdentity *identity, std::string &error);

// A reading thread's way to its documents, which it hands to what opens them (the driver, a
// run's keeper) rather than keeping it in thread-local state behind their backs. One per
// thread that reads, used only there. What it keeps open between documents it holds only
// between keepDirectories() or openAhead() and letGo(), so nothing stays open between a
// caller's calls.
struct System;
const System &native();

class Opener {
public:
    // Opens through system, which must outlive it.
    explicit Opener(const System &system = native());
    ~Opener();
    Opener(const Opener &) = delete;
    Opener &operator=(const Opener &) = delete;

    // openDocument and fileIdentity of its system, through what this opener keeps.
    bool openDocument(const std::string &path, char *window, uint32_t windowBytes, int &fd, uint32_t &got,
                      uint64_t &size, FileIdentity *identity, std::string &error);
    bool fileIdentity(const std::string &path, FileIdentity &identity);
    // The system it opens through, which what reads the files it opened reads them through.
    const System &system() const { return system_; }

    // Until letGo(), a file is looked up relative to its directory, which stays open from one
    // document to the next: a walk's documents come a directory at a time, and the kernel then
    // looks up one name instead of the whole path. Where the platform has no such open it does
    // nothing.
    void keepDirectories();
    // A batch of files opened, read and closed together in one call to the kernel, where the
    // system allows it (io_uring on Linux; elsewhere, or where it is refused, it does nothing):
    // the regular files at these paths (which must live until letGo()), in the order they will
    // be opened; at most a few dozen are taken. openDocument then serves each of them that
    // ended within what was read from that read, with no descriptor (a file that did not is
    // opened again as usual).
    void openAhead(const std::string *const *paths, size_t count);
    // Closes the directory kept and lets the batch go.
    void letGo();

    struct Engine;
    struct Directory {
        bool keep = false;
        int fd = -1;        // an O_PATH descriptor, which needs no right to list the directory
        std::string prefix; // its path as given, up to and with the last '/'
    };

    // What it keeps, for the platform's own opens.
    Directory &directory() { return directory_; }
    Engine *batch() { return engine_.get(); }

private:
    const System &system_;
    Directory directory_;
    // Made at the first batch: a run of named files alone pays nothing for it.
    std::unique_ptr<Engine> engine_;
    bool tried_ = false;
};

// Up to count bytes at offset, fewer only at the end of the file or on an error.
uint32_t readAt(int fd, char *to, uint32_t count, uint64_t offset);
void closeFile(int fd);

// ---- Directories.

// One directory's entries, sorted by the caller. Names sit in one buffer: a file's as it is, a
// directory's with '/' after it, so that plain byte order of these keys is the order of the
// full paths below them.
struct Listing {
    std::string prefix; // the directory's path, ending in '/'
    std::string names;  // the keys, each ending in '\0'
    std::vector<uint32_t> starts;
    size_t next = 0;

    void add(const char *name, size_t length, bool isDirectory)
    {
        starts.push_back(uint32_t(names.size()));
        names.append(name, length);
        if (isDirectory)
            names.push_back('/');
        names.push_back('\0');
    }
};

// Adds the regular files and the directories in listing.prefix (links count as what they
// lead to, except that a link to a directory is left out), in no particular order.
bool listDirectory(Listing &listing, std::string &error);

enum class NamedKind { File, Directory, Refused };
// What a path the user named is: a directory, something that is not a regular file (why says
// what), or else a file, which opening it will look at (a missing one among them).
NamedKind namedKind(const std::string &path, std::string &why);

// Whether a named directory's path already ends in a separator.
bool endsInSeparator(const std::string &path);

// getdelim: the next record of from into *line (grown with malloc), separator included when
// present; its length, or -1 at the end.
ptrdiff_t readDelimited(char **line, size_t *capacity, char separator, std::FILE *from);

// ---- Libraries.

// A library by path, or by the system's name for it (no separator: the system's places); null,
// with why, where it cannot be loaded. Its own dependencies are found beside it.
void *openLibrary(const std::string &file, std::string &why);
void *symbolOf(void *library, const char *name);
void closeLibrary(void *library);

// ---- Locks.

// A lock held until closeFile on the returned descriptor, on one byte at offset of the file at
// path (made if missing), taken at once or, with wait, when the holder lets go; -1 with why,
// and what kept it.
enum class LockRefusal { None, Busy, ReadOnly, Other };
int lockByte(const std::string &path, uint64_t offset, bool wait, LockRefusal &refusal, std::string &error);

// Whether this process may make files in the folder that holds path.
bool folderWritable(const std::string &path);

// ---- The clock: wallClockNs() of file_identity.h is the platform's too.

// The UTC calendar of seconds since 1970; false where the platform cannot tell it.
bool utcCalendar(int64_t seconds, std::tm &fields);

// ---- The environment.

// A variable of the process's environment, in UTF-8 on every platform (on Windows read wide,
// not through the ANSI code page); empty, with set false, where it is not set.
std::string environmentVariable(const char *name, bool &set);
inline std::string environmentVariable(const char *name)
{
    bool set;
    return environmentVariable(name, set);
}

// Reads the zone's rules now (TZ, or the system's), while the process may still read files: a
// reader process's sandbox lets it open none later.
void loadTimeZone();

// ---- Threads.

// Names the calling thread (up to 15 bytes show) where the system keeps names, so that a look
// at the process (top -H, a debugger, /proc/PID/task) tells the library's threads apart.
void nameThisThread(const char *name);

// ---- SQLite: the name of the file layer to open databases with (null: SQLite's default), the
// one that takes paths of any length on Windows.
const char *sqliteFileLayer();

// ---- Standard input.

// Up to room bytes of standard input, 0 at its end, or -1 with errno set.
long readSomeStandardInput(char *into, size_t room);

// ---- Digests the system has itself: Windows' CNG (on Linux, libcrypto's serve); false on a
// failure, which means no memory for a hash object.

bool systemSha256(const void *data, size_t size, unsigned char out[32]);

// ---- The TZ variable as it is (set says whether it is at all), and put back as it was with
// the C library told of it.
std::string timeZoneVariable(bool &set);
void restoreTimeZoneVariable(const std::string &value, bool set);
bool systemHmacSha256(const void *key, size_t keySize, const void *data, size_t size, unsigned char out[32]);

// ---- The system as one record of functions, in the manner of SQLite's sqlite3_vfs: files,
// directories, locks, the environment, the clock and the zone. A run reads through the one it
// is handed (RunInternals::system: its readers' openers, the streams they open, the run's
// keeper and fetch stage); what the installed API's own constructors reach (a walk, a
// catalogue's lock, the remote options, a record's calendar) takes the machine's own,
// native(). A test hands a run a copy with an entry of its own, which fails as a loaded or
// broken system does, for that run alone. Worker processes have a door of their own
// (worker_process.h).
struct System {
    // Files: through an opener (its kept directory and batch of opens), or by the whole path
    // where through is null.
    bool (*openDocument)(Opener *through, const std::string &path, char *window, uint32_t windowBytes, int &fd,
                         uint32_t &got, uint64_t &size, FileIdentity *identity, std::string &error);
    bool (*fileIdentity)(Opener *through, const std::string &path, FileIdentity &identity);
    uint32_t (*readAt)(int fd, char *to, uint32_t count, uint64_t offset);
    void (*closeFile)(int fd);
    // Directories.
    bool (*listDirectory)(Listing &listing, std::string &error);
    NamedKind (*namedKind)(const std::string &path, std::string &why);
    // Locks.
    int (*lockByte)(const std::string &path, uint64_t offset, bool wait, LockRefusal &refusal, std::string &error);
    bool (*folderWritable)(const std::string &path);
    // The environment, the clock and the zone.
    std::string (*environmentVariable)(const char *name, bool &set);
    int64_t (*wallClockNs)();
    bool (*utcCalendar)(int64_t seconds, std::tm &fields);
    void (*loadTimeZone)();
};

#ifdef _WIN32
// ---- Windows' own words, for the platform's other files (worker_process_windows.cpp): UTF-16
// for the wide API and back, and the message of an error code as the POSIX build words it.
std::wstring wide(const std::string &utf8);
std::string narrow(const std::wstring &utf16);
std::string windowsMessage(unsigned long code);
#endif

} // namespace os
} // namespace zudorhost
