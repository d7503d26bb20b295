// One run into the catalogue. The walk is matched with the catalogue's rows as it is read
// (CatalogueSource); the workers read what is new or changed and write each input's entry for
// the writer; a thread of its own applies the entries batch by batch and commits, so that
// SQLite's work overlaps the reading. The caller gets the batches in order, with the records
// of the output it asked for, an unchanged document's loaded from the catalogue.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "catalogue/batch_entries.h"
#include "catalogue/catalogue_plan.h"
#include "catalogue/catalogue_source.h"
#include "catalogue/catalogue_writer.h"
#include "io/remote/url.h"
#include "platform/system.h"
#include "run/input_carried.h"
#include "run/keeper.h"
#include "run/run_internals.h"
#include "zudor_host/platform.h"
#include "zudor_host/record_events.h"

namespace zudorhost {
namespace {

// Batches handed to the writer and not yet applied, at most: the memory a slow disk may hold.
constexpr size_t kQueuedBatches = 16;

using Clock = std::chrono::steady_clock;

} // namespace

struct CatalogueUpdate::Run {
    Run(CatalogueDb &db, CatalogueInputs inputs, const RemoteOptions &remote)
        : catalogue(db), source(db, std::move(inputs), remote), writer(db) {}

    // What fails once the run is under way is the system's: a full disk, an I/O error.
    void fail(const std::string &why, Failure::Kind kind = Failure::Kind::Io)
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!error)
            error = Failure(kind, why);
        failed = true;
        changed.notify_all();
    }
    bool hasFailed()
    {
        std::lock_guard<std::mutex> guard(lock);
        return failed;
    }

    struct Job {
        OutputBuffer entries;
        PendingChanges changes;
    };

    // The writer's thread: jobs in order, a commit whenever commitSeconds have passed.
    void write()
    {
        std::string why;
        if (!writer.begin(why))
            return fail(why);
        auto committed = Clock::now();
        uint64_t commits = 0;
        const auto commit = [&]() {
            if (!writer.commit(why))
                return false;
            ++commits;
            committed = Clock::now();
            if (catalogue.options().afterCommit)
                catalogue.options().afterCommit(commits);
            return writer.begin(why);
        };
        std::unique_lock<std::mutex> guard(lock);
        while (true) {
            changed.wait(guard, [&] { return failed || ending || !queue.empty(); });
            if (failed)
                break;
            if (queue.empty()) {
                guard.unlock();
                const bool done = (!complete || (writer.apply(finalChanges, why) &&
                                                 countUntouched(writer, plan, writer.counts.untouched, why))) &&
                                  writer.commit(why);
                guard.lock();
                if (!done) {
                    failed = true;
                    error = Failure(Failure::Kind::Io, why);
                }
                break;
            }
            Job job = std::move(queue.front());
            queue.pop_front();
            changed.notify_all();
            guard.unlock();
            const bool applied = writer.apply(job.changes, why) &&
                                 writer.apply(job.entries.data(), job.entries.size(), why);
            job.entries.clear();
            const double since = std::chrono::duration<double>(Clock::now() - committed).count();
            const bool ok = applied && (since < catalogue.options().commitSeconds || commit());
            guard.lock();
            spare.push_back(std::move(job.entries));
            if (!ok) {
                failed = true;
                error = Failure(Failure::Kind::Io, why);
                break;
            }
        }
        const bool hadFailed = failed;
        guard.unlock();
        if (hadFailed)
            writer.rollback(); // the catalogue stays as its last commit left it
        else
            sqlite3_wal_checkpoint_v2(catalogue.db(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
        guard.lock();
        counts = writer.counts;
        counts.unchanged += unchangedAside;
        changed.notify_all();
    }

    // Ends the writer: once the inputs were read to their end, after removing what they no
    // longer give.
    bool end(bool readToTheEnd)
    {
        if (!thread.joinable())
            return !hasFailed();
        {
            std::lock_guard<std::mutex> guard(lock);
            complete = readToTheEnd;
            ending = true;
        }
        changed.notify_all();
        thread.join();
        return !hasFailed();
    }

    CatalogueDb &catalogue;
    CatalogueSource source;
    CatalogueWriter writer;
    RunPlan plan;
    std::unique_ptr<BatchRunner> runner;
    std::thread thread;

    std::mutex lock; // guards what follows
    std::condition_variable changed;
    std::deque<Job> queue;
    std::vector<OutputBuffer> spare; // entries' buffers the writer is done with
    uint64_t unchangedAside = 0;     // documents of batches the writer had nothing to do for
    PendingChanges finalChanges;
    bool ending = false, complete = false, failed = false;
    bool exhausted = false; // every input was walked: what was not met is gone
    Failure error;
    CatalogueCounts counts;
};

namespace {

// Each thread's keeper: what the catalogue holds of an input as it is, the input's entry for the
// writer, the record's walk written down once for the writer and the output alike, and for an
// unchanged document, the record the catalogue holds.
class CatalogueKeeper : public DocumentKeeper {
public:
    CatalogueKeeper(CatalogueDb &catalogue, std::function<void(const std::string &)> fail)
        : catalogue_(catalogue), fail_(std::move(fail)) {}

    Held holds(const InputItem &item, os::Opener *opener, FileIdentity &seen) override
    {
        const CatalogueRef *ref = catalogueRefOf(item);
        if (ref == nullptr || ref->row == 0)
            return Held::No;
        const FileIdentity &listed = carriedBy(item).listed;
        const FileIdentity *now = listed.known() ? &listed : nullptr;
        if (now == nullptr && opener != nullptr && !isRemoteInput(item.path) && opener->fileIdentity(item.path, seen))
            now = &seen;
        if (now == nullptr || !unchangedSince(ref->identity, *now))
            return Held::No;
        return ref->skipped ? Held::Skipped : Held::Record;
    }

    void keep(const DocumentView &doc, OutputBuffer &kept, size_t &eventsAt) override
    {
        // An input read for the output alone has no entry.
        const CatalogueRef *ref = catalogueRefOf(*doc.input);
        const bool entry = ref != nullptr && ref->input != 0;
        if (entry && writeEntryHeader(doc, kept, scratch_) == EntryKind::Record) {
            events_.clear();
            recorder_.record(doc, events_);
            replayRecord(events_.data(), events_.size(), collector_);
            writeSearchText(collector_.fields, kept, columns_);
            eventsAt = kept.size();
            kept.append(events_.data(), events_.size());
            return;
        }
        eventsAt = kept.size();
    }

    const DocumentView *held(const DocumentView &doc) override
    {
        std::string why;
        const CatalogueRef *ref = catalogueRefOf(*doc.input);
        if (ref == nullptr || !loaderReady(why) || !loader_.load(ref->row, fields_, why)) {
            fail_(why.empty() ? std::string("a catalogued document is missing") : why);
            return nullptr;
        }
        return &loader_.view(fields_, doc.input->path);
    }

private:
    bool loaderReady(std::string &why)
    {
        if (reader_)
            return true;
        reader_ = catalogue_.openReader(why);
        return reader_ && loader_.prepare(reader_.get(), catalogue_.schema(), why);
    }

    CatalogueDb &catalogue_;
    std::function<void(const std::string &)> fail_;
    EventRecorder recorder_;
    OutputBuffer events_;
    FieldCollector collector_;
    std::string columns_[4];
    Connection reader_;
    RecordLoader loader_;
    RecordFields fields_;
    std::string scratch_;
};

} // namespace

CatalogueUpdate::CatalogueUpdate(Catalogue &catalogue, const ReaderInterface &table, CatalogueInputs inputs,
                                 const RunOptions &options, BatchRunner::FormatterFactory output)
{
    auto &db = static_cast<CatalogueDb &>(catalogue);
    for (const std::string &path : inputs.paths)
        if (path == "-") {
            run_ = std::make_unique<Run>(db, CatalogueInputs{}, options.driver.remote);
            run_->fail("standard input cannot be catalogued", Failure::Kind::Refused);
            return;
        }
    // The plan reads the inputs' names alone; the source takes the list's stream.
    CatalogueInputs named;
    named.paths = inputs.paths;
    named.forget = inputs.forget;
    named.listName = inputs.listName;
    named.list = inputs.list;
    run_ = std::make_unique<Run>(db, std::move(inputs), options.driver.remote);
    Run &run = *run_;
    std::string why;
    const std::string zone = options.timeZone.empty() ? timeZoneName() : options.timeZone;
    // A run with other options than the catalogue keeps, or forgetting what it does not hold, is
    // refused before anything is read.
    if (!db.keepSettings(options.driver.xmpMode, options.driver.anyFile, zone, why)) {
        run.fail(why, Failure::Kind::Refused);
        return;
    }
    if (!run.writer.prepare(why) || !planRun(run.writer, named, run.plan, why) || !run.source.start(run.plan, why)) {
        run.fail(why, run.plan.refused ? Failure::Kind::Refused : Failure::Kind::Io);
        return;
    }
    RunOptions catalogued = options;
    auto fail = [&run](const std::string &reason) { run.fail(reason); };
    auto internals = std::make_shared<RunInternals>(options.internals ? *options.internals : RunInternals{});
    internals->keeper = [&db, fail] { return std::make_unique<CatalogueKeeper>(db, fail); };
    catalogued.internals = std::move(internals);
    run.runner = std::make_unique<BatchRunner>(table, run.source, output, catalogued);
    if (run.runner->error()) {
        run.fail(run.runner->error().message, run.runner->error().kind);
        return;
    }
    try {
        run.thread = std::thread([&run] {
            os::nameThisThread("zudor-catalog");
            run.write();
        });
    } catch (const std::system_error &e) {
        // Nothing has been written: the catalogue stays as it was, and the caller is told.
        run.fail(std::string("cannot start the thread that writes the catalogue (") + e.what() + ")",
                 Failure::Kind::Resources);
    }
}

CatalogueUpdate::~CatalogueUpdate()
{
    // Stopped early: the workers end first; what was applied is committed.
    run_->runner.reset();
    run_->end(false);
}

const FinishedBatch *CatalogueUpdate::next()
{
    Run &run = *run_;
    if (!run.runner || run.hasFailed())
        return nullptr;
    FinishedBatch *batch = run.runner->next();
    std::string why;
    if (run.source.failed(why)) {
        run.fail(why);
        return nullptr;
    }
    if (batch == nullptr) {
        run.exhausted = true;
        return nullptr;
    }
    Run::Job job;
    run.source.takeChanges(job.changes);
    // A batch of files that are all as the catalogue holds them, with nothing gone before them,
    // is counted here: waking the writer for it was a tenth of a re-scan.
    uint64_t unchanged = 0;
    if (job.changes.gone.empty() && job.changes.orders.empty() &&
        onlyUnchanged(keptOf(*batch).data(), keptOf(*batch).size(), unchanged)) {
        std::lock_guard<std::mutex> guard(run.lock);
        if (run.failed)
            return nullptr;
        run.unchangedAside += unchanged;
        return batch;
    }
    std::unique_lock<std::mutex> guard(run.lock);
    // The batch's entries go to the writer as they are, and a buffer it is done with takes
    // their place.
    if (!run.spare.empty()) {
        job.entries.swap(run.spare.back());
        run.spare.pop_back();
    }
    guard.unlock();
    job.entries.swap(keptOf(*batch));
    guard.lock();
    run.changed.wait(guard, [&] { return run.failed || run.queue.size() < kQueuedBatches; });
    if (run.failed)
        return nullptr;
    run.queue.push_back(std::move(job));
    run.changed.notify_all();
    return batch;
}

bool CatalogueUpdate::finish()
{
    Run &run = *run_;
    if (!run.runner)
        return false;
    std::string why;
    if (run.source.failed(why))
        run.fail(why);
    {
        std::lock_guard<std::mutex> guard(run.lock);
        run.source.takeChanges(run.finalChanges);
    }
    return run.end(run.exhausted && !run.hasFailed()) && run.exhausted;
}

const Failure &CatalogueUpdate::error() const { return run_->error; }

InputTally CatalogueUpdate::tally(uint32_t named) const
{
    return run_->runner ? run_->runner->tally(named) : InputTally{named, 0, 0};
}


CatalogueCounts CatalogueUpdate::counts() const
{
    std::lock_guard<std::mutex> guard(run_->lock);
    return run_->counts;
}

} // namespace zudorhost
