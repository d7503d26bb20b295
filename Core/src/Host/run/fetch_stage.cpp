// The fetch stage's I/O thread: inputs admitted in order while the read-ahead has room, S3
// prefixes listed a page ahead, requests started oldest document first, answers turned into
// windows, probes and further requests, and documents handed over in order.
#include "run/fetch_stage.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "io/remote/object_fetch.h"
#include "io/remote/remote_document.h"
#include "io/remote/remote_libraries.h"
#include "io/remote/url.h"
#include "platform/system.h"
#include "run/driver_core.h"
#include "run/input_carried.h"
#include "run/isolation/isolated_reader.h"

namespace zudorhost {
namespace {

using Clock = std::chrono::steady_clock;

// Fetched for one document at most: the reader's largest request, so a hostile file that
// spreads its directories across terabytes is refused as it would be locally.
constexpr uint64_t kMostFetched = uint64_t(256) << 20;

struct Entry {
    uint64_t sequence = 0;
    InputItem item;
    std::shared_ptr<RemoteDocument> document; // remote only
    RemoteUrl url;                            // remote only; text may hold secrets
    WindowFetch fetch;                        // the window asked for, or answered
    bool ready = false;                       // under the engine's lock
    Clock::time_point began;
};

struct Listing {
    RemoteUrl url;
    uint32_t named = 0;    // the named input the prefix is
    std::string keyPrefix; // what a key's URL starts with: the listed URL up to the bucket's '/'
    bool more = true;      // pages left to ask for
    bool inFlight = false;
    std::string failure;   // why the listing broke off
    ListingFetch page;     // its keys, listed, not yet queued
};

bool isRemoteDocument(const InputItem &item)
{
    return (item.origin == InputOrigin::Named || item.origin == InputOrigin::Walked) && isRemoteInput(item.path);
}

// The probe: a driver of the stage's own in raw XMP mode, the cheapest, as the reads do not
// depend on how packets are parsed; in an isolated run, a reader process of its own. It reads
// what is held of a document and tells the first read those bytes could not serve, or why the
// reader could not read it at all (fault).
class DocumentProbe {
public:
    DocumentProbe(const ReaderInterface &table, DriverOptions options, std::shared_ptr<ReaderWorkers> workers)
    {
        options = raw(std::move(options));
        if (workers)
            worker_ = makeWorkerProbe(std::move(workers), options);
        else
            driver_ = std::make_unique<DriverCore>(table, options); // no keeper: the workers' pass keeps
    }
    bool miss(const InputItem &item, const RemoteDocument &document, uint64_t &offset, uint64_t &length,
              std::string &fault)
    {
        fault.clear();
        if (worker_)
            return worker_->miss(item, document, offset, length, fault);
        driver_->readFetched(item, document);
        const bool missed = driver_->missed(offset, length);
        driver_->finish();
        return missed;
    }

private:
    static DriverOptions raw(DriverOptions options)
    {
        options.xmpMode = XmpMode::Raw;
        options.explain = false;
        return options;
    }
    std::unique_ptr<DriverCore> driver_;
    std::unique_ptr<WorkerProbe> worker_;
};

} // namespace

struct FetchStage::Engine {
    InputSource &inner;
    const ReaderInterface *table; // null: the stage only lists
    DriverOptions driverOptions;
    std::shared_ptr<ReaderWorkers> workers; // where the probe reads, if not here
    bool oneDocument;
    std::function<std::unique_ptr<DocumentKeeper>()> makeKeeper;
    std::unique_ptr<DocumentKeeper> keeper; // the caller's until the I/O thread starts, then its
    std::unique_ptr<DocumentProbe> probe; // the I/O thread's, made when it starts
    RemoteOptions options;
    RemoteCounters ownCounters;
    RemoteCounters &counters;
    size_t readAhead;

    std::mutex lock;
    std::condition_variable readyChanged;
    std::deque<std::unique_ptr<Entry>> queue; // in input order; the caller takes the front
    bool ended = false;                       // no entry will be added
    std::atomic<bool> stopping{false};        // set under the lock, read without it too

    // The caller's.
    bool started = false;
    std::thread thread;
    // The thread that started the I/O thread. Runner workers may each have a descriptor table
    // of their own, and the I/O thread shares its starter's: only there does the number of
    // libcurl's wake-up socket name that socket. Anywhere else it would name another file, or
    // nothing, so other threads leave the I/O thread to its next look at the queue.
    std::thread::id starter;

    // The I/O thread's, once started.
    std::unique_ptr<ObjectFetcher> fetcher;
    std::map<uint64_t, Entry *> waiting; // documents that want a window, by input order
    uint64_t sequence = 0;
    bool innerDone = false;
    std::unique_ptr<Listing> listing;
    std::vector<ObjectFetch *> answered;
    // Why the options cannot serve (a CA file that cannot be read), for every URL's record.
    std::string optionsProblem;

    Engine(InputSource &source, const ReaderInterface *t, const DriverOptions &d, std::shared_ptr<ReaderWorkers> w,
           bool one, std::function<std::unique_ptr<DocumentKeeper>()> k)
        : inner(source), table(t), driverOptions(d), workers(std::move(w)), oneDocument(one), makeKeeper(std::move(k)),
          options(d.remote),
          counters(d.remote.counters ? *d.remote.counters : ownCounters)
    {
        options.connections = std::max(1u, options.connections);
        readAhead = options.readAhead != 0 ? options.readAhead : std::max<size_t>(64, 4 * size_t(options.connections));
    }

    size_t held()
    {
        std::lock_guard<std::mutex> guard(lock);
        return queue.size();
    }

    Entry &append(InputItem item)
    {
        auto entry = std::make_unique<Entry>();
        entry->sequence = sequence++;
        entry->item = std::move(item);
        Entry &added = *entry;
        std::lock_guard<std::mutex> guard(lock);
        queue.push_back(std::move(entry));
        return added;
    }

    void markReady(Entry &entry)
    {
        std::lock_guard<std::mutex> guard(lock);
        entry.ready = true;
        if (queue.front().get() == &entry)
            readyChanged.notify_all();
    }

    // A remote document to fetch: not one the run's keeper holds as its listing describes it.
    bool isFetchable(const InputItem &item)
    {
        if (!isRemoteDocument(item))
            return false;
        const InputCarried &carried = carriedBy(item);
        if (!makeKeeper || !carried.keeperTag || !carried.listed.known())
            return true;
        if (!keeper)
            keeper = makeKeeper();
        // A listed remote document: its listing says all there is to look at.
        FileIdentity seen;
        return keeper->holds(item, nullptr, seen) == DocumentKeeper::Held::No;
    }

    void fail(Entry &entry, const std::string &why)
    {
        if (entry.fetch.first)
            entry.began = Clock::now();
        entry.document->error = why;
        entry.document->windows.clear();
        done(entry);
    }

    void done(Entry &entry)
    {
        if (entry.document) {
            entry.document->seconds = std::chrono::duration<double>(Clock::now() - entry.began).count();
            counters.latencies.add(entry.document->seconds);
            carriedToChange(entry.item).remote = entry.document;
        }
        markReady(entry);
    }

    // ---- Inputs.

    void admit(InputItem item)
    {
        if (!isFetchable(item)) {
            markReady(append(std::move(item)));
            return;
        }
        RemoteUrl url;
        std::string why;
        if (!parseRemoteUrl(item.path, url, why) || !optionsProblem.empty() ||
            !remoteInputAllowed(item.path, options, why)) {
            item.path = redactUrl(item.path);
            item.origin = InputOrigin::Failed;
            item.error = why.empty() ? optionsProblem : why;
            markReady(append(std::move(item)));
            return;
        }
        if (url.scheme == UrlScheme::S3 && url.prefix && oneDocument) {
            item.path = url.shown;
            item.origin = InputOrigin::Failed;
            item.error = "an S3 prefix names many documents, not one";
            markReady(append(std::move(item)));
            return;
        }
        if (url.scheme == UrlScheme::S3 && url.prefix && item.origin == InputOrigin::Named) {
            listing = std::make_unique<Listing>();
            listing->url = url;
            listing->named = item.named;
            listing->keyPrefix = item.path.substr(0, 5 + url.bucket.size()) + "/";
            listing->page.kind = ObjectFetch::Kind::ListingPage;
            listing->page.url = &listing->url;
            listing->page.owner = listing.get();
            return;
        }
        if (table == nullptr) { // listing only: the document goes on as it was named
            markReady(append(std::move(item)));
            return;
        }
        item.path = url.shown;
        Entry &entry = append(std::move(item));
        entry.url = std::move(url);
        entry.document = std::make_shared<RemoteDocument>();
        WindowFetch &f = entry.fetch;
        f.url = &entry.url;
        f.document = entry.document.get();
        f.owner = &entry;
        if (entry.url.scheme == UrlScheme::S3 && !fetcher->s3Problem().empty()) {
            fail(entry, fetcher->s3Problem());
            return;
        }
        f.start = 0;
        f.length = kFirstWindowBytes;
        waiting[entry.sequence] = &entry;
    }

    void admitInputs()
    {
        while (held() < readAhead) {
            if (listing) {
                std::deque<ListingParser::Entry> &keys = listing->page.keys;
                if (!keys.empty()) {
                    ListingParser::Entry &key = keys.front();
                    InputItem item;
                    item.path = listing->keyPrefix + key.key;
                    item.origin = InputOrigin::Walked;
                    item.named = listing->named;
                    // What the listing says of the object, which a keeper compares with
                    // what it holds before anything is fetched.
                    FileIdentity &listed = carriedToChange(item).listed;
                    listed.size = key.size;
                    listed.etag = std::move(key.etag);
                    listed.takenNs = os::native().wallClockNs();
                    keys.pop_front();
                    admit(std::move(item));
                    continue;
                }
                if (listing->more)
                    return; // the next page is on its way
                if (!listing->failure.empty()) {
                    InputItem item;
                    item.path = listing->url.shown;
                    item.origin = InputOrigin::Failed;
                    item.named = listing->named;
                    item.error = listing->failure;
                    markReady(append(std::move(item)));
                }
                listing.reset();
                continue;
            }
            InputItem item;
            if (innerDone || !inner.next(item)) {
                innerDone = true;
                return;
            }
            admit(std::move(item));
        }
    }

    // ---- Requests, oldest document first.

    void startRequests()
    {
        if (listing && listing->more && !listing->inFlight && fetcher->hasRoom()) {
            if (!fetcher->s3Problem().empty()) {
                listing->failure = fetcher->s3Problem();
                listing->more = false;
            } else {
                listing->inFlight = true;
                fetcher->fetchListingPage(listing->page);
            }
        }
        while (fetcher->hasRoom() && !waiting.empty()) {
            Entry &entry = *waiting.begin()->second;
            waiting.erase(waiting.begin());
            fetcher->fetchWindow(entry.fetch);
            if (entry.fetch.first)
                entry.began = entry.fetch.transfer.started;
        }
    }

    // ---- Answers.

    void listingAnswered()
    {
        Listing &l = *listing;
        l.inFlight = false;
        l.more = l.page.more;
        l.failure = l.page.failure;
    }

    void documentAnswered(Entry &entry)
    {
        RemoteDocument &doc = *entry.document;
        if (!entry.fetch.failure.empty()) {
            fail(entry, entry.fetch.failure);
            return;
        }
        uint64_t offset = 0, length = 0;
        std::string fault;
        const bool missed = probe->miss(entry.item, doc, offset, length, fault);
        if (!fault.empty()) {
            fail(entry, fault);
            return;
        }
        if (!missed) {
            done(entry);
            return;
        }
        if (doc.rangesIgnored) {
            fail(entry, "the server ignores range requests, and this file's metadata lies past its first " +
                            std::to_string(kFirstWindowBytes / 1024) + " KiB");
            return;
        }
        const WindowPlan plan = planWindow(doc, offset, length);
        uint64_t held = 0;
        for (const FetchedWindow &w : doc.windows)
            held += w.bytes.size();
        if (plan.length == 0 || held + plan.length > kMostFetched) {
            fail(entry, "the metadata needs more than " + std::to_string(kMostFetched >> 20) + " MiB of the file");
            return;
        }
        ++doc.misses;
        entry.fetch.start = plan.start;
        entry.fetch.length = plan.length;
        waiting[entry.sequence] = &entry;
    }

    // Wakes the I/O thread where this thread can.
    void nudge()
    {
        if (fetcher && std::this_thread::get_id() == starter)
            fetcher->wake();
    }

    // How long the I/O thread waits for the network. A full queue empties without a word from
    // callers on other threads (see starter), so then it looks again soon; otherwise new work
    // comes from the transfers themselves, and stop() is seen within the wait.
    int pollMs()
    {
        const bool moreToAdmit = !innerDone || (listing && !listing->page.keys.empty());
        return held() >= readAhead && moreToAdmit ? 2 : 100;
    }

    // ---- The I/O thread.

    void run(InputItem first)
    {
        if (table != nullptr)
            probe = std::make_unique<DocumentProbe>(*table, driverOptions, workers);
        admit(std::move(first));
        while (true) {
            {
                std::lock_guard<std::mutex> guard(lock);
                if (stopping)
                    break;
            }
            admitInputs();
            startRequests();
            if (innerDone && !listing && waiting.empty() && fetcher->idle())
                break;
            answered.clear();
            fetcher->poll(answered, pollMs());
            for (ObjectFetch *fetch : answered) {
                if (fetch->kind == ObjectFetch::Kind::ListingPage)
                    listingAnswered();
                else
                    documentAnswered(*static_cast<Entry *>(fetch->owner));
            }
        }
        fetcher->cancelAll();
        std::lock_guard<std::mutex> guard(lock);
        ended = true;
        readyChanged.notify_all();
    }
};

FetchStage::FetchStage(InputSource &inner, const ReaderInterface *table, const DriverOptions &driver,
                       std::shared_ptr<ReaderWorkers> workers, bool oneDocument,
                       std::function<std::unique_ptr<DocumentKeeper>()> keeper)
    : engine_(std::make_unique<Engine>(inner, table, driver, std::move(workers), oneDocument, std::move(keeper)))
{
}

FetchStage::~FetchStage()
{
    stop();
    if (engine_->started)
        engine_->thread.join();
}

void FetchStage::stop()
{
    Engine &e = *engine_;
    std::lock_guard<std::mutex> guard(e.lock);
    e.stopping = true;
    e.readyChanged.notify_all();
    e.nudge();
}

bool FetchStage::next(InputItem &item)
{
    Engine &e = *engine_;
    if (!e.started) {
        // Until the first remote input, inputs pass straight through on the caller's thread.
        if (e.stopping || !e.inner.next(item))
            return false;
        if (carriedBy(item).remote)
            carriedToChange(item).remote.reset();
        if (!e.isFetchable(item))
            return true;
        std::string why;
        if (remoteLibraries(why) == nullptr) {
            item.path = redactUrl(item.path);
            item.origin = InputOrigin::Failed;
            item.error = why;
            return true;
        }
        std::lock_guard<std::mutex> guard(e.lock);
        // Here for front ends that leave it to the run (Python); sievecheck has refused a bad
        // CA file before its run began.
        prepareRemoteOptions(e.options, e.optionsProblem);
        e.fetcher = std::make_unique<ObjectFetcher>(e.options, e.counters);
        e.starter = std::this_thread::get_id();
        auto first = std::make_shared<InputItem>(std::move(item));
        try {
            e.thread = std::thread([&e, first] {
                os::nameThisThread("zudor-fetch");
                e.run(std::move(*first));
            });
        } catch (const std::system_error &failure) {
            // A system out of threads fails this document, not the process.
            e.fetcher.reset();
            item = std::move(*first);
            item.path = redactUrl(item.path);
            item.origin = InputOrigin::Failed;
            item.error = std::string("cannot start the thread that fetches URLs (") + failure.what() + ")";
            return true;
        }
        e.started = true;
    }
    std::unique_lock<std::mutex> guard(e.lock);
    e.readyChanged.wait(guard, [&e] {
        return e.stopping || (!e.queue.empty() && e.queue.front()->ready) || (e.queue.empty() && e.ended);
    });
    if (e.stopping || e.queue.empty())
        return false;
    const bool wasFull = e.queue.size() >= e.readAhead;
    item = std::move(e.queue.front()->item);
    e.queue.pop_front();
    guard.unlock();
    if (wasFull)
        e.nudge();
    return true;
}

std::unique_ptr<InputSource> listedSource(InputSource &inputs, const RemoteOptions &options)
{
    DriverOptions listing;
    listing.remote = options;
    return std::make_unique<FetchStage>(inputs, nullptr, listing);
}

void fetchDocument(InputItem &item, const ReaderInterface &table, const DriverOptions &options,
                   std::shared_ptr<ReaderWorkers> workers)
{
    struct One : InputSource {
        InputItem *item;
        bool next(InputItem &out) override
        {
            if (item == nullptr)
                return false;
            out = std::move(*item);
            item = nullptr;
            return true;
        }
    } one;
    const std::string path = item.path;
    InputItem given = std::move(item);
    one.item = &given;
    FetchStage stage(one, &table, options, std::move(workers), true);
    if (!stage.next(item)) {
        item = InputItem{};
        item.path = redactUrl(path);
        item.origin = InputOrigin::Failed;
        item.error = "cannot fetch";
    }
}

} // namespace zudorhost
