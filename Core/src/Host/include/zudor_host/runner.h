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
    uint64_t unchanged = 0; // documents not read, as the run's keeper holds them (DocumentView::unchanged)
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
    OutputBuffer kept;      // what the run's keeper keeps of the batch
    RunTotals totals;
    std::vector<InputTally> named; // in input order, one per run of items of one named input
};

// Turns documents into output bytes; one per worker, so it may keep scratch state.
class RecordFormatter {
public:
    virtual ~RecordFormatter() = default;
    // Called for every input in order, skipped ones (doc.skipped: no record) among them.
    virtual void format(const DocumentView &doc, FinishedBatch &out) = 0;
    // The same, where the run's keeper has walked the record already: its events (record_events.h)
    // are at events, so the record need not be walked again.
    virtual void formatRecorded(const DocumentView &doc, const char *events, size_t size, FinishedBatch &out)
    {
        (void)events, (void)size;
        format(doc, out);
    }
    // Whether a document the run's keeper holds unread is loaded for it; a formatter that only
    // names failures wants none, as such a document was not read this run.
    virtual bool wantsHeld() const { return true; }
};

// What a front end keeps of a run's documents (the catalogue): an input it holds as it is now
// is neither fetched nor read, and every document goes to it as the run meets it. One per
// thread (RunOptions::keeper); what it knows of an input rides in InputItem::keeperTag.
class DocumentKeeper {
public:
    enum class Held { No, Record, Skipped };
    virtual ~DocumentKeeper() = default;
    // Whether it holds item as it is now (Record: its record; Skipped: as no TIFF): from what a
    // listing said of it (item.listed), or for a local file it knows, from one look at it, which
    // it leaves in seen.
    virtual Held holds(const InputItem &item, FileIdentity &seen) = 0;
    // Takes doc, read or left unread, writing what it keeps into kept. For a document read it
    // writes the record's events there too and tells where they start (eventsAt), else kept's
    // size.
    virtual void keep(const DocumentView &doc, OutputBuffer &kept, size_t &eventsAt) = 0;
    // The record it holds of a document left unread, for the output; null where it cannot be
    // had (the keeper stops the run then).
    virtual const DocumentView *held(const DocumentView &doc) = 0;
};

// The most documents read in parallel. Local reading gains nothing past the cores, and remote
// documents are fetched by the I/O thread whatever the job count; each job holds a few batches
// in flight, so the cap is also what bounds the runner's memory.
constexpr unsigned kMaxJobs = 256;

// Every core, within the cap.
unsigned defaultJobs();

struct RunOptions {
    unsigned jobs = 1; // 1 to kMaxJobs
    DriverOptions driver;
    // The zone the process reads DateTimes in (timeZoneName()), which a keeper may keep.
    std::string timeZone;
    // Makes each thread's keeper, where the front end keeps what the run reads.
    std::function<std::unique_ptr<DocumentKeeper>()> keeper;
    // Where the system allows it (Linux) each worker gets a descriptor table of its own, so
    // that workers opening and closing files do not contend for the process's one. A worker's
    // table holds on to every descriptor the process had when it started until it ends, so
    // only a program that closes nothing meanwhile (a command line) should ask for it.
    bool ownDescriptorTables = false;
    // Read in worker processes rather than on the threads themselves (isolation.h).
    IsolationOptions isolation;
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
