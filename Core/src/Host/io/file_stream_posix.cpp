// The file stream's system calls on POSIX systems: open without waiting, pread.
#include "zudor_host/stream.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zudorhost {

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

bool FileStream::open(const std::string &path, std::string &error)
{
    close();
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        error = std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    // The first window is filled now. A file that ends inside it is sized by that one pread,
    // so a small document costs open, pread and close. A pipe fails the pread with ESPIPE and
    // a directory with EISDIR; a device that reads like a file fails the size check.
    ssize_t got;
    do
        got = pread(fd_, window_.get(), kWindowBytes, 0);
    while (got < 0 && errno == EINTR);
    struct stat info;
    if (got < 0) {
        error = errno == ESPIPE ? "not a regular file" : std::string("cannot read: ") + std::strerror(errno);
        close();
        return false;
    }
    if (got == kWindowBytes && (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode))) {
        error = "not a regular file";
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
