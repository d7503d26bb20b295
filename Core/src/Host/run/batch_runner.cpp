// Documents on worker threads, records back in input order. Work moves in batches of a few
// documents, so threads meet once per batch, not once per document: a worker takes the next
// batch's inputs from the source, reads and formats them into the batch's own buffers, and
// marks it done; the caller takes finished batches in order and frees their slots. A fixed
// ring of slots bounds what is in flight.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/process.h"
#include "platform/system.h"
#include "run/driver_core.h"
#include "run/fetch_stage.h"
#include "run/input_carried.h"
#include "run/isolation/isolated_reader.h"
#include "run/keeper.h"
#include "run/run_internals.h"
#include "zudor_host/platform.h"
#include "zudor_host/remote.h"
#include "zudor_host/runner.h"

namespace zudorhost {
namespace {

constexpr size_t kBatchDocuments = 32;
// A worker process is handed a batch at a time, and each hand-over costs both processes a
// wake-up: isolated runs take larger batches.
constexpr size_t kIsolatedBatchDocuments = 128;
constexpr size_t kBatchesPerWorker = 4;
// How long the caller waits for a run of finished batches before it takes the first alone:
// only a source that stalls (the network) makes it wait that long.
constexpr std::chrono::milliseconds kHandOverWait(2);
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
    // Lent from the runner's spares while the batch is in flight: the buffers that were
    // written last are written next, so a ring longer than the work in flight touches no
    // more memory than that work.
    std::unique_ptr<KeptBatch> out;
    bool done = false;
};

// The reader processes of an isolated run, started before anything else; the constructor
// waits for them once the threads are opening the first documents: a module that cannot be
// loaded stops the run there.
std::shared_ptr<ReaderWorkers> startWorkers(const RunOptions &options, Failure &failure)
{
    // A front end that keeps its workers between runs (a service) hands them over.
    if (options.workers)
        return options.workers;
    return options.isolation.enabled ? startReaderWorkers(options.isolation, options.driver, failure, false) : nullptr;
}

// One thread's reading: the way it opens files, its keeper (where the run keeps what it reads),
// its reader, which asks that keeper and opens through that opener (the driver, or a reader
// process's parent), and its formatter.
struct Reader {
    os::Opener opener; // through the run's system
    std::unique_ptr<DocumentKeeper> keeper;
    std::unique_ptr<DocumentReader> driver;
    std::unique_ptr<RecordFormatter> formatter;
    KeptRunFormatter *keptFormatter = nullptr; // the formatter, where it takes part in a kept run

    Reader(const ReaderInterface &table, const RunOptions &options, const BatchRunner::FormatterFactory &factory,
           const std::shared_ptr<ReaderWorkers> &isolated)
        : opener(options.internals && options.internals->system ? *options.internals->system : os::native()),
          keeper(options.internals && options.internals->keeper ? options.internals->keeper() : nullptr),
          formatter(factory ? factory() : nullptr)
    {
        if (isolated)
            driver = makeIsolatedReader(isolated, options.driver, keeper.get(), &opener);
        else
            driver = std::make_unique<DriverCore>(table, options.driver, keeper.get(), &opener);
        if (keeper)
            keptFormatter = dynamic_cast<KeptRunFormatter *>(formatter.get());
    }

    // The document to its keeper, then to the output: a record the keeper walked is written from
    // its walk, and one the keeper holds unread from the keeper's copy.
    void hand(const DocumentView &doc, KeptBatch &out)
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
            if (keptFormatter != nullptr && !keptFormatter->wantsHeld())
                return;
            if (const DocumentView *held = keeper->held(doc))
                formatter->format(*held, out);
        } else if (eventsAt < out.kept.size() && keptFormatter != nullptr) {
            keptFormatter->formatRecorded(doc, out.kept.data() + eventsAt, out.kept.size() - eventsAt, out);
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
    // Held while a worker numbers its batch and fills it from the source, so that batches
    // take the inputs in the order of their numbers. The caller never takes it, and `lock`
    // is not held while the source is read: a walk into a directory holds up neither the
    // caller's hand-over nor a worker that has finished its batch.
    std::mutex feeding;
    std::mutex lock;
    std::condition_variable slotFreed, batchDone;
    uint64_t claimed = 0;          // batches handed to workers so far
    uint64_t released = 0;         // batches the caller has finished with
    uint64_t end = UINT64_MAX;     // the number of batches, once the source has run dry
    bool stopping = false;
    bool holding = false;          // the caller holds batch `released`
    uint64_t want = 1;             // finished batches in a row the caller waits for
    std::vector<std::unique_ptr<KeptBatch>> spares; // under lock; the last freed is lent first
    std::vector<std::thread> workers;
    std::vector<InputTally> tallies; // by named input; the caller's

    // Serial mode: one reader on the caller's thread.
    std::unique_ptr<Reader> reader;

    Shared(const ReaderInterface &t, InputSource &s, FormatterFactory f, const RunOptions &o)
        : table(t), isolated(startWorkers(o, error)),
          source(s, &t, o.driver, isolated, false, o.internals ? o.internals->keeper : nullptr),
          factory(std::move(f)), options(o)
    {
    }

    // Whether the run keeps what it reads (run/keeper.h).
    bool keeps() const { return options.internals && options.internals->keeper; }

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

    // The batch's walked files, opened and read together where the system allows it. Not
    // where the run keeps what it reads, which wants each file's identity taken before it is
    // read.
    void openAhead(const Slot &slot, os::Opener &opener) const
    {
        // Nor where readers are processes of their own: the files are handed to them as
        // they are opened, and their batches are longer than one opened ahead.
        if (keeps() || isolated)
            return;
        const std::string *paths[kBatchDocuments];
        size_t count = 0;
        for (size_t i = 0; i < slot.count && count < kBatchDocuments; ++i) {
            const InputItem &item = slot.items[i];
            // A walk lists regular files only; a named file may be a pipe, which must not be read
            // before it is looked at.
            if (item.origin == InputOrigin::Walked && !carriedBy(item).remote && !isRemoteInput(item.path))
                paths[count++] = &item.path;
        }
        if (count > 1)
            opener.openAhead(paths, count);
    }

    void process(Slot &slot, Reader &reader) const
    {
        // A batch's files mostly share a directory; it is let go with the batch, so nothing
        // stays open between calls of the caller's.
        struct LetGo {
            os::Opener &opener;
            ~LetGo() { opener.letGo(); }
        } batchEnds{reader.opener};
        reader.opener.keepDirectories();
        openAhead(slot, reader.opener);
        DocumentReader &driver = *reader.driver;
        KeptBatch &out = *slot.out;
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
            if (carriedBy(slot.items[i]).remote)
                carriedToChange(slot.items[i]).remote.reset();
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

    static void trim(KeptBatch &batch)
    {
        batch.records.trim(kBufferKeep);
        batch.kept.trim(kBufferKeep);
    }

    // Under lock: whether the caller has what it waits for: `want` finished batches in a row
    // from the next one it takes, or every batch that is left.
    bool handOverReady() const
    {
        if (released == end)
            return true;
        uint64_t run = released;
        while (run < claimed && run - released < want && slots[run % slots.size()].done)
            ++run;
        return run > released && (run - released == want || run == end);
    }

    // Under lock: the next batch's number and its slot, once the ring has room; false when
    // the run is over.
    bool claim(std::unique_lock<std::mutex> &guard, uint64_t &sequence)
    {
        slotFreed.wait(guard, [&] { return stopping || claimed == end || claimed < released + slots.size(); });
        if (stopping || claimed == end)
            return false;
        sequence = claimed++;
        Slot &slot = slots[sequence % slots.size()];
        if (spares.empty()) {
            slot.out = std::make_unique<KeptBatch>();
        } else {
            slot.out = std::move(spares.back());
            spares.pop_back();
        }
        return true;
    }

    void work()
    {
        if (options.internals && options.internals->ownDescriptorTables)
            takeOwnDescriptorTable();
        Reader reader(table, options, factory, isolated);
        while (true) {
            std::unique_lock<std::mutex> fed(feeding);
            std::unique_lock<std::mutex> guard(lock);
            uint64_t sequence;
            if (!claim(guard, sequence))
                return;
            guard.unlock();
            Slot &slot = slots[sequence % slots.size()];
            // The source is read in the order of the batches' numbers: the output's order.
            if (!fill(slot)) {
                guard.lock();
                spares.push_back(std::move(slot.out));
                end = claimed = sequence;
                batchDone.notify_all();
                slotFreed.notify_all();
                return;
            }
            fed.unlock();
            process(slot, reader);
            guard.lock();
            slot.done = true;
            if (handOverReady())
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
            s.workers.emplace_back([&s] {
                os::nameThisThread("zudor-read");
                s.work();
            });
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
        if (!slot.out)
            slot.out = std::make_unique<KeptBatch>();
        Shared::trim(*slot.out);
        if (!s.fill(slot))
            return nullptr;
        s.process(slot, *s.reader);
        return s.handOut(*slot.out);
    }
    std::unique_lock<std::mutex> guard(s.lock);
    if (s.holding) {
        Slot &held = s.slots[s.released % s.slots.size()];
        held.done = false;
        Shared::trim(*held.out);
        s.spares.push_back(std::move(held.out));
        ++s.released;
        s.holding = false;
        s.slotFreed.notify_one();
    }
    Slot &slot = s.slots[s.released % s.slots.size()];
    if (!slot.done && s.released != s.end) {
        // The caller sleeps until half the ring is done, not once per batch: each wake-up
        // of a sleeping thread costs the workers a preemption and, in a virtual machine,
        // an interrupt between processors.
        const auto ready = [&] { return s.handOverReady(); };
        s.want = std::max<uint64_t>(1, s.slots.size() / 2);
        if (!s.batchDone.wait_for(guard, kHandOverWait, ready)) {
            s.want = 1;
            s.batchDone.wait(guard, ready);
        }
        s.want = 1;
    }
    if (s.released == s.end)
        return nullptr;
    s.holding = true;
    return s.handOut(*slot.out);
}

} // namespace zudorhost
