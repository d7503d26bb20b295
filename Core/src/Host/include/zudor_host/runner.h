// Many documents on worker threads, their records back in input order a batch at a time,
// through a bounded window: memory does not grow with the number of inputs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "zudor/reader.h"
#include "zudor_host/driver.h"
#include "zudor_host/inputs.h"
#include "zudor_host/output_buffer.h"

namespace zudorhost {

struct RunTotals {
    uint64_t documents = 0, complete = 0, partial = 0, none = 0, errors = 0, skipped = 0;
    StreamCounts counts;
    void add(const DocumentView &doc);
    void add(const RunTotals &other);
};

// Turns documents into output bytes; one per worker, so it may keep scratch state.
class RecordFormatter {
public:
    virtual ~RecordFormatter() = default;
    // Called for every document that is not skipped; messages collects lines for stderr.
    virtual void format(const DocumentView &doc, OutputBuffer &records, OutputBuffer &messages) = 0;
};

struct FinishedBatch {
    OutputBuffer records;
    OutputBuffer messages;
    RunTotals totals;
};

struct RunOptions {
    unsigned jobs = 1;
    DriverOptions driver;
    // Where the system allows it (Linux) each worker gets a descriptor table of its own, so
    // that workers opening and closing files do not contend for the process's one. A worker's
    // table holds on to every descriptor the process had when it started until it ends, so
    // only a program that closes nothing meanwhile (a command line) should ask for it.
    bool ownDescriptorTables = false;
};

// Reads the inputs on `jobs` threads (none of its own for one job) and hands back their
// records in input order, a batch at a time. Each worker has a few batches in flight at most,
// so memory does not grow with the number of inputs and a slow document holds back at most
// that many.
class BatchRunner {
public:
    using FormatterFactory = std::function<std::unique_ptr<RecordFormatter>()>;
    BatchRunner(const ReaderInterface &table, InputSource &source, FormatterFactory factory,
                const RunOptions &options);
    ~BatchRunner();
    BatchRunner(const BatchRunner &) = delete;
    BatchRunner &operator=(const BatchRunner &) = delete;

    // The next batch in input order, valid until the next call; null when all are done.
    const FinishedBatch *next();

private:
    struct Shared;
    std::unique_ptr<Shared> shared_;
};

} // namespace zudorhost
