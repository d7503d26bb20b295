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
#include <functional>
#include <memory>

#include "run/keeper.h"
#include "zudor_host/driver.h"
#include "zudor_host/inputs.h"
#include "zudor_host/remote.h"

namespace zudorhost {

class ReaderWorkers;

// Hands out the inputs in order, each remote document with its bytes fetched (InputCarried::remote).
class FetchStage : public InputSource {
public:
    // Documents are fetched for a pass with these driver options, which the probe (a driver of
    // the stage's own, made at the first remote input) stands in for; without a table the stage
    // only lists, and documents pass on unfetched, as they were named. A stage for one document
    // refuses a prefix, which names many.
    // A run's keeper holds some inputs as they are: such a key is not fetched (keeper: made at
    // the first need, for the stage's own use).
    // Where the pass reads in worker processes (workers, isolation.h), so does the probe, so
    // that no untrusted parsing happens in this process.
    FetchStage(InputSource &inner, const ReaderInterface *table, const DriverOptions &driver,
               std::shared_ptr<ReaderWorkers> workers = nullptr, bool oneDocument = false,
               std::function<std::unique_ptr<DocumentKeeper>()> keeper = nullptr);
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
