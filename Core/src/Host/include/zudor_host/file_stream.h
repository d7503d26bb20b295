// An input stream over one file: each read is one pread at the stream's position, straight
// into the reader's buffer, so the walk's scattered small reads cost one call each and no copy
// of ours.
#pragma once

#include <cstdint>
#include <string>

#include "zudor/host.h"

namespace zudorhost {

struct StreamCounts {
    uint64_t reads = 0;
    uint64_t seeks = 0;
    uint64_t bytesRead = 0;
};

class FileStream {
public:
    FileStream();
    ~FileStream();
    FileStream(const FileStream &) = delete;
    FileStream &operator=(const FileStream &) = delete;

    // Opens path standing at its first byte; on failure returns false and says why.
    bool open(const std::string &path, std::string &error);
    void close();

    InputStream *stream() { return &record_; }
    const StreamCounts &counts() const { return counts_; }
    // Bytes in the file; UINT64_MAX when it is not a regular file.
    uint64_t size() const { return size_; }

    static FileStream *fromStream(InputStream *stream);

private:
    friend uint32_t fileStreamRead(InputStream *, void *, uint32_t);
    friend int32_t fileStreamSeek(InputStream *, uint32_t, uint32_t);

    InputStream record_; // first, so the reader's stream pointer leads back here
    int fd_ = -1;
    uint64_t position_ = 0;
    uint64_t size_ = 0;
    StreamCounts counts_;
};

uint32_t fileStreamRead(InputStream *stream, void *buffer, uint32_t count);
int32_t fileStreamSeek(InputStream *stream, uint32_t offset, uint32_t origin);

} // namespace zudorhost
