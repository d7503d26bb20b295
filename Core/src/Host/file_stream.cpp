#include "zudor_host/file_stream.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zudorhost {

FileStream::FileStream()
{
    std::memset(&record_, 0, sizeof record_);
    record_.streamRead = fileStreamRead;
    record_.streamSeek = fileStreamSeek;
}

FileStream::~FileStream() { close(); }

FileStream *FileStream::fromStream(InputStream *stream)
{
    static_assert(offsetof(FileStream, record_) == 0, "the record leads the stream");
    return reinterpret_cast<FileStream *>(stream);
}

bool FileStream::open(const std::string &path, std::string &error)
{
    close();
    counts_ = {};
    position_ = 0;
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat info;
    if (fstat(fd_, &info) != 0 || S_ISDIR(info.st_mode)) {
        error = S_ISDIR(info.st_mode) ? std::strerror(EISDIR) : std::strerror(errno);
        close();
        return false;
    }
    size_ = S_ISREG(info.st_mode) ? uint64_t(info.st_size) : UINT64_MAX;
    return true;
}

void FileStream::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

uint32_t fileStreamRead(InputStream *stream, void *buffer, uint32_t count)
{
    FileStream *self = FileStream::fromStream(stream);
    ++self->counts_.reads;
    // Nothing lies past the end of a regular file; skip the call the reader would fail on.
    if (self->position_ >= self->size_ && count > 0)
        return 0;
    uint32_t done = 0;
    while (done < count) {
        const ssize_t got = pread(self->fd_, static_cast<char *>(buffer) + done, count - done,
                                  off_t(self->position_ + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += uint32_t(got);
    }
    self->position_ += done;
    self->counts_.bytesRead += done;
    return done;
}

int32_t fileStreamSeek(InputStream *stream, uint32_t offset, uint32_t origin)
{
    FileStream *self = FileStream::fromStream(stream);
    ++self->counts_.seeks;
    switch (origin) {
    case 0: self->position_ = offset; break;
    case 1: self->position_ += offset; break;
    case 2: self->position_ = self->size_ + offset; break;
    default: return -1;
    }
    return 0;
}

} // namespace zudorhost
