// An input stream over one file, or over bytes already in memory. The reader asks for many
// small pieces (a count, an entry array, a value, the next offset), so reads are served from a
// 64 KiB window of the file that one pread fills: a small document costs one system call, not
// one per piece. Requests too large for the window go straight into the reader's buffer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "io/document_stream.h"
#include "zudor_host/file_identity.h"

namespace zudorhost {
namespace os {
class Opener; // platform/system.h
struct System;
}

class FileStream final : private StreamRecord, public DocumentStream {
public:
    FileStream();
    ~FileStream();
    FileStream(const FileStream &) = delete;
    FileStream &operator=(const FileStream &) = delete;

    // Opens a regular file standing at its first byte; on failure returns false and says why.
    // A named pipe or a device is refused, never waited on. With identity, the file's
    // identity is taken before its first byte is read (where the platform keeps one), so
    // that what is read is never older than what the identity says. The file is opened
    // through the reading thread's opener.
    bool open(os::Opener &opener, const std::string &path, std::string &error, FileIdentity *identity = nullptr);
    // Serves size bytes at data, which must stay valid until close().
    void openMemory(const void *data, size_t size);
    // A regular file of size bytes that another process opened and handed over: the stream
    // takes the descriptor and reads it as open() would have, through the machine's system.
    void adopt(int descriptor, uint64_t size);
    // Gives up the open file's descriptor, to be handed over; -1 for bytes in memory.
    int releaseDescriptor();
    void close();

    InputStream *stream() override { return &record; }
    const StreamCounts &counts() const override { return counts_; }
    const ShortRead &shortRead() const override { return shortRead_; }
    uint64_t size() const override { return size_; }
    // The document's first bytes (up to the window's length), as opening it read them.
    const uint8_t *head(size_t &length) const override;

    static FileStream *fromStream(InputStream *stream);

    static constexpr uint32_t kWindowBytes = 64 * 1024;

private:
    friend uint32_t fileStreamRead(InputStream *, void *, uint32_t);
    friend int32_t fileStreamSeek(InputStream *, uint32_t, uint32_t);

    uint32_t readAt(uint64_t offset, void *buffer, uint32_t count);
    friend struct StreamRecord;

    int fd_ = -1; // a C runtime descriptor on every platform
    const os::System *system_; // what fd_ is read and closed through: the opener's
    uint64_t position_ = 0;
    uint64_t size_ = 0;
    StreamCounts counts_;
    ShortRead shortRead_;
    std::unique_ptr<char[]> window_;
    const char *view_ = nullptr; // window_, or the bytes in memory
    uint64_t windowStart_ = 0;
    uint64_t windowLength_ = 0;
};

uint32_t fileStreamRead(InputStream *stream, void *buffer, uint32_t count);
int32_t fileStreamSeek(InputStream *stream, uint32_t offset, uint32_t origin);

} // namespace zudorhost
