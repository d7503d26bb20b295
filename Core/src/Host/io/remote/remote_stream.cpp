#include "io/remote/remote_stream.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace zudorhost {

RemoteStream::RemoteStream()
{
    std::memset(&record, 0, sizeof record);
    record.streamRead = read;
    record.streamSeek = seek;
}

void RemoteStream::open(const RemoteDocument &document)
{
    document_ = &document;
    position_ = 0;
    counts_ = {};
    shortRead_ = {};
    missed_ = false;
    missOffset_ = missLength_ = 0;
}

const uint8_t *RemoteStream::head(size_t &length) const
{
    const FetchedWindow *first =
        document_ != nullptr && !document_->windows.empty() && document_->windows[0].start == 0
            ? &document_->windows[0]
            : nullptr;
    length = first != nullptr ? first->bytes.size() : 0;
    return first != nullptr ? reinterpret_cast<const uint8_t *>(first->bytes.data()) : nullptr;
}

uint32_t RemoteStream::read(InputStream *stream, void *buffer, uint32_t count)
{
    RemoteStream &self = *StreamRecord::owner<RemoteStream>(stream);
    ++self.counts_.reads;
    const uint64_t size = self.size();
    if (count == 0 || self.position_ >= size || self.missed_) {
        self.shortRead_.note(self.position_, count, 0);
        return 0;
    }
    const uint64_t n = std::min<uint64_t>(count, size - self.position_);
    const FetchedWindow *window = self.document_->covering(self.position_, n);
    if (window == nullptr) {
        self.missed_ = true;
        self.missOffset_ = self.position_;
        self.missLength_ = n;
        return 0;
    }
    self.shortRead_.note(self.position_, count, uint32_t(n));
    std::memcpy(buffer, window->bytes.data() + (self.position_ - window->start), size_t(n));
    self.position_ += n;
    self.counts_.bytesRead += n;
    return uint32_t(n);
}

int32_t RemoteStream::seek(InputStream *stream, uint32_t offset, uint32_t origin)
{
    RemoteStream &self = *StreamRecord::owner<RemoteStream>(stream);
    ++self.counts_.seeks;
    switch (origin) {
    case 0: self.position_ = offset; break;
    case 1: self.position_ += offset; break;
    case 2: self.position_ = self.size() + offset; break;
    default: return -1;
    }
    return 0;
}

} // namespace zudorhost
