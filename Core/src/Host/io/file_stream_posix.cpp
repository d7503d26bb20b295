// The file stream's system calls on POSIX systems: open without waiting, pread.
#include "zudor_host/stream.h"
#include "platform/stat_identity_posix.h"
#include "io/file_kind.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zudorhost {

const char *notRegularFile(uint32_t mode)
{
    if (S_ISFIFO(mode))
        return "not a regular file (a named pipe)";
    if (S_ISSOCK(mode))
        return "not a regular file (a socket)";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "not a regular file (a device)";
    return "not a regular file";
}

void FileStream::closeDescriptor(int fd) { ::close(fd); }

uint32_t FileStream::readFully(int fd, char *to, uint32_t count, uint64_t offset)
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

bool FileStream::open(const std::string &path, std::string &error, FileIdentity *identity)
{
    close();
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info;
    if (fd_ < 0) {
        // A socket cannot be opened; say what it is, as the look at a named path does.
        const int code = errno;
        error = code == ENXIO && stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)
                    ? notRegularFile(info.st_mode)
                    : std::string("cannot open: ") + std::strerror(code);
        return false;
    }
    if (identity != nullptr) {
        if (fstat(fd_, &info) == 0 && S_ISREG(info.st_mode))
            *identity = identityFromStat(info);
        else
            *identity = FileIdentity{};
    }
    // The first window is filled now. A file that ends inside it is sized by that one pread,
    // so a small document costs open, pread and close. Only a read that fails, finds nothing
    // or fills the window needs a look at what was opened: a pipe fails the pread, a device
    // reads nothing or without end (a directory fails it too, and says so).
    ssize_t got;
    do
        got = pread(fd_, window_.get(), kWindowBytes, 0);
    while (got < 0 && errno == EINTR);
    const int readError = errno;
    if (got <= 0 || got == kWindowBytes) {
        if (fstat(fd_, &info) != 0)
            info.st_mode = 0;
        if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
            error = notRegularFile(info.st_mode);
            close();
            return false;
        }
    }
    if (got < 0) {
        error = std::string("cannot read: ") + std::strerror(readError);
        close();
        return false;
    }
    view_ = window_.get();
    windowStart_ = 0;
    windowLength_ = uint64_t(got);
    size_ = got < kWindowBytes ? uint64_t(got) : uint64_t(info.st_size);
    return true;
}

} // namespace zudorhost
