// The reader's input stream over a remote document's fetched windows. It reads memory only:
// a read the windows do not cover is a miss, remembered (the first one) and answered as the
// end of the file, which ends the reader's walk. The fetch stage's probe uses the miss to
// fetch the next window; a worker's pass, over a document the probe found complete, has none.
#pragma once

#include <cstdint>

#include "io/document_stream.h"
#include "io/remote/remote_document.h"

namespace zudorhost {

class RemoteStream final : private StreamRecord, public DocumentStream {
public:
    RemoteStream();
    RemoteStream(const RemoteStream &) = delete;
    RemoteStream &operator=(const RemoteStream &) = delete;

    void open(const RemoteDocument &document);
    InputStream *stream() override { return &record; }
    const StreamCounts &counts() const override { return counts_; }
    const ShortRead &shortRead() const override { return shortRead_; }
    uint64_t size() const override { return document_ != nullptr ? document_->size : 0; }
    // The document's first bytes as fetched (the first window).
    const uint8_t *head(size_t &length) const override;

    bool missed() const { return missed_; }
    uint64_t missOffset() const { return missOffset_; }
    uint64_t missLength() const { return missLength_; }

private:
    static uint32_t read(InputStream *stream, void *buffer, uint32_t count);
    static int32_t seek(InputStream *stream, uint32_t offset, uint32_t origin);
    friend struct StreamRecord;

    const RemoteDocument *document_ = nullptr;
    uint64_t position_ = 0;
    StreamCounts counts_;
    ShortRead shortRead_;
    bool missed_ = false;
    uint64_t missOffset_ = 0, missLength_ = 0;
};

} // namespace zudorhost
