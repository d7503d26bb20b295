// What a document is read through on the host's side, a local file or bytes in memory
// (FileStream) or a remote document's fetched windows (RemoteStream) alike: the driver holds
// the one it opened and asks it the same questions whatever it is.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zudor/host.h"
#include "zudor_host/stream_counts.h"

namespace zudorhost {

// The first read that gave less than it was asked for: the end of a truncated file, an offset
// past it, a file that could not be read, or a window a remote document was not fetched for.
struct ShortRead {
    bool seen = false;
    uint64_t offset = 0;
    uint32_t asked = 0, got = 0;
    void note(uint64_t at, uint32_t count, uint32_t done)
    {
        if (!seen && done < count)
            *this = ShortRead{true, at, count, done};
    }
};

// The reader's stream record, alone in a base of its own: a stream finds itself again from the
// pointer the reader hands back by a downcast (StreamRecord::owner), which stays right whatever
// the class adds before or after it.
struct StreamRecord {
    InputStream record;
    template <typename Stream> static Stream *owner(InputStream *stream)
    {
        static_assert(offsetof(StreamRecord, record) == 0, "the record leads its base");
        return static_cast<Stream *>(reinterpret_cast<StreamRecord *>(stream));
    }
};

class DocumentStream {
public:
    // The reader's stream over the document.
    virtual InputStream *stream() = 0;
    // The document's first bytes (up to the first window's length), before anything else is read.
    virtual const uint8_t *head(size_t &length) const = 0;
    virtual uint64_t size() const = 0;
    virtual const StreamCounts &counts() const = 0;
    virtual const ShortRead &shortRead() const = 0;

protected:
    ~DocumentStream() = default;
};

} // namespace zudorhost
