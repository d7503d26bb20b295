// Many documents on worker threads, their records back in input order a batch at a time,
// through a bounded window: memory does not grow with the number of inputs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zudor/reader.h"
#include "zudor_host/driver.h"
#include "zudor_host/failure.h"
#include "zudor_host/inputs.h"
#include "zudor_host/isolation.h"
#include "zudor_host/output_buffer.h"

namespace zudorhost {

struct RunTotals {
    uint64_t documents = 0, complete = 0, partial = 0, none = 0, errors = 0, skipped = 0;
    uint64_t bigTiff = 0; // of the errors: BigTIFF files
    uint64_t unchanged = 0; // documents not read, as the run's catalogue holds them (DocumentView::unchanged)
    StreamCounts counts;
    void add(const DocumentView &doc);
    void add(const RunTotals &other);
};

// What one named input (InputItem::named) gave: the items met, and how many of them are
// documents (records), not skipped.
struct InputTally {
    uint32_t named = 0;
    uint64_t items = 0, documents = 0;
};

struct FinishedBatch {
    OutputBuffer records;   // the output's bytes
    OutputBuffer messages;  // lines for the standard error
    RunTotals totals;
    std::vector<InputTally> named; // in input order, one per run of items of one named input
};

// Turns documents into output bytes; one per worker, so it may keep scratch state.
class RecordFormatter {
public:
    virtual ~RecordFormatter() = default;
    // Called for every input in order, skipped ones (doc.skipped: no record) among them.
    virtual void format(const DocumentView &doc, FinishedBatch &out) = 0;
};

// The most documents read in parallel. Local reading gains nothing past the cores, and remote
// documents are fetched by the I/O thread whatever the job count; each job holds a few batches
// in flight, so the cap is also what bounds the runner's memory.
constexpr unsigned kMaxJobs = 256;

// Every core, within the cap.
unsigned defaultJobs();

// What the library's own runs add to a run's options (an incomplete type here).
struct RunInternals;

struct RunOptions {
    unsigned jobs = 1; // 1 to kMaxJobs
    DriverOptions driver;
    // The zone the process reads DateTimes in (timeZoneName()), which a catalogue keeps.
    std::string timeZone;
    // Read in worker processes rather than on the threads themselves (isolation.h).
    IsolationOptions isolation;
    // Worker processes the front end started itself (startReaderWorkers) and keeps from run to
    // run, as a service does: the run reads there, whatever isolation says, and so does the
    // probe that finds what to fetch of a remote document. Null: the run starts its own where
    // isolation asks.
    std::shared_ptr<ReaderWorkers> workers;
    // What the library's own runs add (a catalogue's, a command line's): an incomplete type
    // here, opaque to a front end; null for none.
    std::shared_ptr<const RunInternals> internals;
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

    // The next batch in input order, the caller's until the next call (which may take its
    // buffers); null when all are done, or when the runner could not start (error()).
    FinishedBatch *next();
    // Why the runner could not start its threads (Failure::Kind::Resources); none when it did.
    const Failure &error() const;
    // What the named input gave in the batches handed out so far; once next() has answered
    // null, in the whole run. A named input that gave no item at all has a tally of zeros.
    InputTally tally(uint32_t named) const;

private:
    void stopWorkers();
    struct Shared;
    std::unique_ptr<Shared> shared_;
};

} // namespace zudorhost
