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

#include "zudor_host/driver.h"
#include "zudor_host/inputs.h"
#include "zudor_host/remote.h"

namespace zudorhost {

struct RemoteDocument;

// The probe: runs the reader over what is held of a document and tells the first read it
// could not serve.
class DocumentProbe {
public:
    virtual ~DocumentProbe() = default;
    virtual bool miss(const InputItem &item, const RemoteDocument &document, uint64_t &offset,
                      uint64_t &length) = 0;
    // Why the probe itself could not run the reader over the document (a reader process that
    // crashed on it), once miss() has answered; empty when it ran.
    virtual std::string fault() const { return std::string(); }
};

// A probe that is a driver of its own, with the options of the pass it stands in for.
std::unique_ptr<DocumentProbe> makeDocumentProbe(const ReaderInterface &table, const DriverOptions &options);
// The same in a reader process of its own (isolation.h): no untrusted parsing in this one.
class ReaderWorkers;
std::unique_ptr<DocumentProbe> makeIsolatedProbe(std::shared_ptr<ReaderWorkers> workers, const DriverOptions &options);

// A URL that no fetch stage fetched ahead (zudor.read), fetched on its own: false, with why,
// where it cannot be, and then fetched names the document as a record shows it.
bool fetchAlone(const InputItem &input, std::unique_ptr<DocumentProbe> probe, const RemoteOptions &options,
                InputItem &fetched, std::string &why);

// Hands out the inputs in order, each remote document with its bytes fetched (item.remote).
class FetchStage : public InputSource {
public:
    // A null probe only lists: documents pass on unfetched, as they were named.
    FetchStage(InputSource &inner, std::unique_ptr<DocumentProbe> probe, const RemoteOptions &options);
    ~FetchStage() override;
    FetchStage(const FetchStage &) = delete;
    FetchStage &operator=(const FetchStage &) = delete;

    bool next(InputItem &item) override;
    // Ends the fetching at once, from any thread: next() answers false from then on. A
    // runner stopping early calls it, so that no worker waits on the network for a document
    // nobody will read.
    void stop();

private:
    struct Engine;
    std::unique_ptr<Engine> engine_;
};

} // namespace zudorhost
