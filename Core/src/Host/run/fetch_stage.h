// Remote inputs, fetched ahead of the CPU workers. One I/O thread reads the inputs in order,
// lists S3 prefixes, and fetches each remote document's bytes: a ranged GET of its first
// 64 KiB (the size comes from Content-Range), then a probe pass of the reader over what is
// held so far, and for each read the probe could not serve a window around it (with If-Match
// on the first answer's ETag), until a probe runs through. The document then goes on, in
// input order, to the workers, whose pass reads memory only. The reader's reads depend only
// on the file's bytes and the options, so the probe finds every byte the real pass reads.
//
// Nothing starts before the first remote input: a run of local files passes straight
// through on the caller's thread. At most readAhead documents are held or in flight beyond
// the one the caller takes next, so memory does not grow with the number of inputs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "../io/remote/remote_document.h"
#include "../io/remote/transfers.h"
#include "zudor_host/zudor_host.h"

namespace zudorhost {

struct RemoteOptions {
    TransferOptions transfer;
    bool noSignRequest = false;      // S3 requests go unsigned
    unsigned readAhead = 0;          // 0: four per connection, at least 64
    uint64_t maxDocumentBytes = uint64_t(256) << 20; // fetched for one document at most
};

// The probe: runs the reader over what is held of a document and tells the first read it
// could not serve.
class DocumentProbe {
public:
    virtual ~DocumentProbe() = default;
    virtual bool miss(const InputItem &item, const RemoteDocument &document, uint64_t &offset,
                      uint64_t &length) = 0;
};

// A histogram of per-document fetch times, 1% wide buckets, for a median without a list.
class LatencyHistogram {
public:
    void add(double seconds);
    double median() const;
    uint64_t count() const { return count_; }

private:
    std::vector<uint32_t> buckets_;
    uint64_t count_ = 0;
};

struct StagedItem {
    InputItem item; // path: the URL as shown, never with its secrets
    std::shared_ptr<const RemoteDocument> remote; // null for a local input
};

class FetchStage {
public:
    // A null probe only lists: documents pass on unfetched (the Dask client's walk).
    FetchStage(InputSource &inner, std::unique_ptr<DocumentProbe> probe, const RemoteOptions &options,
               RemoteCounters &counters);
    ~FetchStage();
    FetchStage(const FetchStage &) = delete;
    FetchStage &operator=(const FetchStage &) = delete;

    // The next input in order, its remote document fetched; false at the end.
    bool next(StagedItem &staged);

    // Fetch times of the documents fetched so far; read once the stage is done.
    const LatencyHistogram &latencies() const;

private:
    struct Engine;
    std::unique_ptr<Engine> engine_;
};

} // namespace zudorhost
