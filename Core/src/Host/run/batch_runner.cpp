// Documents on worker threads, records back in input order. Work moves in batches of a few
// documents, so threads meet once per batch, not once per document: a worker takes the next
// batch's inputs from the source, reads and formats them into the batch's own buffers, and
// marks it done; the caller takes finished batches in order and frees their slots. A fixed
// ring of slots bounds what is in flight.
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "fetch_stage.h"
#include "zudor_host/platform.h"
#include "zudor_host/runner.h"

namespace zudorhost {
namespace {

constexpr size_t kBatchDocuments = 32;
// A worker process is handed a batch at a time, and each hand-over costs both processes a
// wake-up: isolated runs take larger batches.
constexpr size_t kIsolatedBatchDocuments = 128;
constexpr size_t kBatchesPerWorker = 4;
// A buffer that one huge record grew beyond this is given back when its batch is done.
constexpr size_t kBufferKeep = 1 << 20;

} // namespace

void RunTotals::add(const DocumentView &doc)
{
    if (doc.skipped) {
        ++skipped;
        return;
    }
    if (doc.unchanged) {
        ++unchanged;
        return;
    }
    ++documents;
    bigTiff += doc.bigTiff;
    if (doc.error != nullptr)
        ++errors;
    else if (doc.summary == SummaryState::Complete)
        ++complete;
    else if (doc.summary == SummaryState::Partial)
        ++partial;
    else
        ++none;
    counts.reads += doc.counts.reads;
    counts.seeks += doc.counts.seeks;
    counts.bytesRead += doc.counts.bytesRead;
}

void RunTotals::add(const RunTotals &o)
{
    documents += o.documents, complete += o.complete, partial += o.partial, none += o.none;
    errors += o.errors, skipped += o.skipped, unchanged += o.unchanged, bigTiff += o.bigTiff;
    counts.reads += o.counts.reads, counts.seeks += o.counts.seeks;
    counts.bytesRead += o.counts.bytesRead;
}

struct Slot {
    std::vector<InputItem> items;
    size_t count = 0;
    FinishedBatch out;
    bool done = false;
};

// The reader processes of an isolated run, started before anything else; the constructor
// waits for them once the threads are opening the first documents: a module that cannot be
// loaded stops the run there.
std::shared_ptr<ReaderWorkers> startWorkers(const RunOptions &options, Failure &failure)
{
    return options.isolation.enabled ? startReaderWorkers(options.isolation, options.driver, failure, false) : nullptr;
}

// One thread's reading: its keeper (where the run keeps what it reads), its reader, which asks
// that keeper (the driver, or a reader process), and its formatter.
struct Reader {
    std::unique_ptr<DocumentKeeper> keeper;
    std::unique_ptr<DocumentReader> driver;
    std::unique_ptr<RecordFormatter> formatter;

    Reader(const ReaderInterface &table, const RunOptions &options, const BatchRunner::FormatterFactory &factory,
           const std::shared_ptr<ReaderWorkers> &isolated)
        : keeper(options.keeper ? options.keeper() : nullptr), formatter(factory ? factory() : nullptr)
    {
        DriverOptions driverOptions = options.driver;
        driverOptions.keeper = keeper.get();
        if (isolated)
            driver = makeIsolatedReader(isolated, driverOptions);
        else
            driver = std::make_unique<DocumentDriver>(table, driverOptions);
    }

    // The document to its keeper, then to the output: a record the keeper walked is written from
    // its walk, and one the keeper holds unread from the keeper's copy.
    void hand(const DocumentView &doc, FinishedBatch &out)
    {
        if (!keeper) {
            if (formatter)
                formatter->format(doc, out);
            return;
        }
        size_t eventsAt = 0;
        keeper->keep(doc, out.kept, eventsAt);
        if (!formatter)
            return;
        if (doc.unchanged && !doc.skipped) {
            if (const DocumentView *held = keeper->held(doc))
                formatter->format(*held, out);
        } else if (eventsAt < out.kept.size()) {
            formatter->formatRecorded(doc, out.kept.data() + eventsAt, out.kept.size() - eventsAt, out);
        } else {
            formatter->format(doc, out);
        }
    }
};

struct BatchRunner::Shared {
    const ReaderInterface &table;
    Failure error; // why the workers could not be started
    std::shared_ptr<ReaderWorkers> isolated;
    // Remote documents are fetched ahead, in input order, before a worker takes them.
    FetchStage source;
    FormatterFactory factory;
    RunOptions options;

    std::vector<Slot> slots;
    std::mutex lock;
    std::condition_variable slotFreed, batchDone;
    uint64_t claimed = 0;          // batches handed to workers so far
    uint64_t released = 0;         // batches the caller has finished with
    uint64_t end = UINT64_MAX;     // the number of batches, once the source has run dry
    bool stopping = false;
    bool holding = false;          // the caller holds batch `released`
    std::vector<std::thread> workers;
    std::vector<InputTally> tallies; // by named input; the caller's

    // Serial mode: one reader on the caller's thread.
    std::unique_ptr<Reader> reader;

    Shared(const ReaderInterface &t, InputSource &s, FormatterFactory f, const RunOptions &o)
        : table(t), isolated(startWorkers(o, error)), source(s, &t, withWorkers(o.driver, isolated), false, o.keeper),
          factory(std::move(f)), options(o)
    {
        options.driver.workers = isolated;
    }

    static DriverOptions withWorkers(DriverOptions driver, const std::shared_ptr<ReaderWorkers> &isolated)
    {
        driver.workers = isolated;
        return driver;
    }

    // Takes up to a batch of inputs; false when the source has none left.
    bool fill(Slot &slot)
    {
        const size_t most = isolated ? kIsolatedBatchDocuments : kBatchDocuments;
        if (slot.items.size() < most)
            slot.items.resize(most);
        slot.count = 0;
        while (slot.count < most && source.next(slot.items[slot.count]))
            ++slot.count;
        return slot.count > 0;
    }

    static void process(Slot &slot, Reader &reader)
    {
        DocumentReader &driver = *reader.driver;
        FinishedBatch &out = slot.out;
        driver.expect(slot.items.data(), slot.count);
        out.records.clear();
        out.messages.clear();
        out.kept.clear();
        out.totals = RunTotals{};
        out.named.clear();
        for (size_t i = 0; i < slot.count; ++i) {
            const DocumentView &doc = driver.read(slot.items[i]);
            out.totals.add(doc);
            const uint32_t named = slot.items[i].named;
            if (named != 0) {
                if (out.named.empty() || out.named.back().named != named)
                    out.named.push_back(InputTally{named, 0, 0});
                ++out.named.back().items;
                out.named.back().documents += !doc.skipped;
            }
            reader.hand(doc, out);
            driver.finish();
            // A remote document's bytes go as soon as it is read, not when its slot is reused.
            slot.items[i].remote.reset();
        }
    }

    // Adds a batch handed to the caller to the run's tallies.
    FinishedBatch *handOut(FinishedBatch &batch)
    {
        for (const InputTally &t : batch.named) {
            if (tallies.size() <= t.named)
                tallies.resize(size_t(t.named) + 1);
            tallies[t.named].items += t.items;
            tallies[t.named].documents += t.documents;
        }
        return &batch;
    }

    void work()
    {
        if (options.ownDescriptorTables)
            takeOwnDescriptorTable();
        Reader reader(table, options, factory, isolated);
        std::unique_lock<std::mutex> guard(lock);
        while (true) {
            slotFreed.wait(guard, [&] { return stopping || claimed == end || claimed < released + slots.size(); });
            if (stopping || claimed == end)
                return;
            const uint64_t sequence = claimed++;
            Slot &slot = slots[sequence % slots.size()];
            // The source is read under the lock: its order is the output's order.
            if (!fill(slot)) {
                end = --claimed;
                batchDone.notify_all();
                slotFreed.notify_all();
                return;
            }
            guard.unlock();
            process(slot, reader);
            guard.lock();
            slot.done = true;
            if (sequence == released)
                batchDone.notify_one();
        }
    }
};

BatchRunner::BatchRunner(const ReaderInterface &table, InputSource &source, FormatterFactory factory,
                         const RunOptions &options)
    : shared_(std::make_unique<Shared>(table, source, std::move(factory), options))
{
    Shared &s = *shared_;
    if (s.error)
        return;
    const unsigned jobs = std::clamp(options.jobs, 1u, kMaxJobs);
    if (jobs == 1) {
        s.slots.resize(1);
        s.reader = std::make_unique<Reader>(table, s.options, s.factory, s.isolated);
        if (s.isolated)
            s.error = readerWorkersReady(*s.isolated);
        return;
    }
    s.slots.resize(size_t(jobs) * kBatchesPerWorker);
    try {
        for (unsigned i = 0; i < jobs; ++i)
            s.workers.emplace_back([&s] { s.work(); });
    } catch (const std::system_error &e) {
        // A system out of threads is a failure to report, not a reason to end the process.
        s.error = Failure(Failure::Kind::Resources, "cannot start " + std::to_string(jobs) + " reading threads (" +
                                                     e.what() + "); give fewer jobs");
        stopWorkers();
        return;
    }
    if (s.isolated && (s.error = readerWorkersReady(*s.isolated)))
        stopWorkers();
}

void BatchRunner::stopWorkers()
{
    Shared &s = *shared_;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.stopping = true;
    }
    s.source.stop();
    s.slotFreed.notify_all();
    for (std::thread &worker : s.workers)
        worker.join();
    s.workers.clear();
}

unsigned defaultJobs() { return std::clamp(std::thread::hardware_concurrency(), 1u, kMaxJobs); }

const Failure &BatchRunner::error() const { return shared_->error; }

InputTally BatchRunner::tally(uint32_t named) const
{
    const std::vector<InputTally> &tallies = shared_->tallies;
    InputTally t = named < tallies.size() ? tallies[named] : InputTally{};
    t.named = named;
    return t;
}

BatchRunner::~BatchRunner() { stopWorkers(); }

FinishedBatch *BatchRunner::next()
{
    Shared &s = *shared_;
    if (s.error)
        return nullptr;
    if (s.workers.empty()) {
        Slot &slot = s.slots[0];
        slot.out.records.trim(kBufferKeep);
        slot.out.kept.trim(kBufferKeep);
        if (!s.fill(slot))
            return nullptr;
        Shared::process(slot, *s.reader);
        return s.handOut(slot.out);
    }
    std::unique_lock<std::mutex> guard(s.lock);
    if (s.holding) {
        Slot &held = s.slots[s.released % s.slots.size()];
        held.done = false;
        held.out.records.trim(kBufferKeep);
        held.out.kept.trim(kBufferKeep);
        ++s.released;
        s.holding = false;
        s.slotFreed.notify_one();
    }
    Slot &slot = s.slots[s.released % s.slots.size()];
    s.batchDone.wait(guard, [&] { return s.released == s.end || slot.done; });
    if (s.released == s.end)
        return nullptr;
    s.holding = true;
    return s.handOut(slot.out);
}

} // namespace zudorhost
