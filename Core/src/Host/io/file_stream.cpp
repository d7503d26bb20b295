#include "io/file_stream.h"

#include "io/remote/url.h"
#include "platform/system.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace zudorhost {
namespace {

// Windows start on a page, so a piece just before the one asked for is usually inside too.
constexpr uint64_t kWindowAlign = 4096;

} // namespace

FileStream::FileStream() : system_(&os::native()), window_(new char[kWindowBytes])
{
    std::memset(&record, 0, sizeof record);
    record.streamRead = fileStreamRead;
    record.streamSeek = fileStreamSeek;
}

FileStream::~FileStream() { close(); }

FileStream *FileStream::fromStream(InputStream *stream)
{
    return StreamRecord::owner<FileStream>(stream);
}

void FileStream::openMemory(const void *data, size_t size)
{
    close();
    view_ = static_cast<const char *>(data);
    windowStart_ = 0;
    windowLength_ = size_ = size;
}

void FileStream::adopt(int descriptor, uint64_t size)
{
    close();
    fd_ = descriptor;
    system_ = &os::native();
    size_ = size;
    view_ = window_.get();
    windowStart_ = 0;
    windowLength_ = system_->readAt(fd_, window_.get(), uint32_t(std::min<uint64_t>(kWindowBytes, size)), 0);
}

int FileStream::releaseDescriptor()
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

const uint8_t *FileStream::head(size_t &length) const
{
    length = windowStart_ == 0 ? size_t(windowLength_) : 0;
    return reinterpret_cast<const uint8_t *>(view_);
}

void FileStream::close()
{
    if (fd_ >= 0)
        system_->closeFile(fd_);
    fd_ = -1;
    counts_ = {};
    shortRead_ = {};
    position_ = 0;
    size_ = 0;
    windowLength_ = 0;
}

bool FileStream::open(os::Opener &opener, const std::string &path, std::string &error, FileIdentity *identity)
{
    close();
    uint32_t got = 0;
    system_ = &opener.system();
    if (!opener.openDocument(path, window_.get(), kWindowBytes, fd_, got, size_, identity, error)) {
        fd_ = -1;
        // A name such as ftp://host/a.tif was meant as a URL, of a kind that is not read.
        if (const std::string scheme = unreadScheme(path); !scheme.empty())
            error += "; " + scheme + ":// URLs are not read (http://, https:// and s3:// are)";
        return false;
    }
    view_ = window_.get();
    windowStart_ = 0;
    windowLength_ = got;
    return true;
}

uint32_t FileStream::readAt(uint64_t offset, void *buffer, uint32_t count)
{
    if (fd_ >= 0) {
        if (count > kWindowBytes - kWindowAlign)
            return system_->readAt(fd_, static_cast<char *>(buffer), count, offset);
        if (offset < windowStart_ || offset + count > windowStart_ + windowLength_) {
            windowStart_ = offset & ~(kWindowAlign - 1);
            // No more than the file holds, or the last pread would only learn where it ends.
            const uint64_t want = std::min<uint64_t>(kWindowBytes, size_ - windowStart_);
            windowLength_ = system_->readAt(fd_, window_.get(), uint32_t(want), windowStart_);
        }
    }
    const uint64_t end = windowStart_ + windowLength_;
    const uint32_t n = offset >= end ? 0 : uint32_t(std::min<uint64_t>(count, end - offset));
    if (n != 0)
        std::memcpy(buffer, view_ + (offset - windowStart_), n);
    return n;
}

uint32_t fileStreamRead(InputStream *stream, void *buffer, uint32_t count)
{
    FileStream *self = FileStream::fromStream(stream);
    ++self->counts_.reads;
    // Nothing lies past the end of a regular file; skip the call the reader would fail on.
    if (count == 0 || self->position_ >= self->size_) {
        self->shortRead_.note(self->position_, count, 0);
        return 0;
    }
    const uint32_t done = self->readAt(self->position_, buffer, count);
    self->shortRead_.note(self->position_, count, done);
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
