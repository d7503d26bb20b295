// The fetch stage's I/O thread: inputs admitted in order while the read-ahead has room, S3
// prefixes listed a page ahead, requests started oldest document first, answers turned into
// windows, probes and further requests, and documents handed over in order.
#include "fetch_stage.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "../io/remote/aws_config.h"
#include "../io/remote/http_fields.h"
#include "../io/remote/remote_document.h"
#include "../io/remote/remote_libraries.h"
#include "../io/remote/s3_listing.h"
#include "../io/remote/sigv4.h"
#include "../io/remote/transfers.h"
#include "../io/remote/url.h"

namespace zudorhost {
namespace {

using Clock = std::chrono::steady_clock;

// A listing page is read whole before its keys are taken; S3 pages are about 300 KB.
constexpr uint64_t kListingBytes = 32 << 20;
// Fetched for one document at most: the reader's largest request, so a hostile file that
// spreads its directories across terabytes is refused as it would be locally.
constexpr uint64_t kMostFetched = uint64_t(256) << 20;

struct Entry {
    uint64_t sequence = 0;
    InputItem item;
    std::shared_ptr<RemoteDocument> document; // remote only
    RemoteUrl url;                            // remote only; text may hold secrets
    std::string fetchUrl;                     // after the first answer: where it came from
    Transfer transfer;
    uint64_t wantStart = 0, wantLength = 0;   // the range asked for
    bool first = true;
    bool ready = false;                       // under the engine's lock
    Clock::time_point began;
};

struct Listing {
    RemoteUrl url;
    uint32_t named = 0;    // the named input the prefix is
    std::string keyPrefix; // what a key's URL starts with: the listed URL up to the bucket's '/'
    std::string token;
    bool more = true;      // pages left to ask for
    bool inFlight = false;
    std::deque<ListingParser::Entry> keys; // listed, not yet queued
    std::string failure;   // why the listing broke off
    Transfer transfer;
};

std::string rangeHeader(uint64_t start, uint64_t length)
{
    return "Range: bytes=" + std::to_string(start) + "-" + std::to_string(start + length - 1);
}

// A document its catalogue knows unchanged from the listing is neither fetched nor read.
bool isFetchable(const InputItem &item)
{
    return (item.origin == InputOrigin::Named || item.origin == InputOrigin::Walked) && isRemoteInput(item.path) &&
           !item.catalogue.unchanged;
}

} // namespace

struct FetchStage::Engine {
    InputSource &inner;
    std::unique_ptr<DocumentProbe> probe;
    RemoteOptions options;
    std::string optionsProblem; // why no remote input can be read with the options, or empty
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
    std::unique_ptr<Transfers> transfers;
    std::map<uint64_t, Entry *> waiting; // documents that want a request, by input order
    uint64_t sequence = 0;
    bool innerDone = false;
    std::unique_ptr<Listing> listing;
    bool s3Resolved = false;
    S3Settings s3;
    std::unique_ptr<SigV4Signer> signer;
    std::vector<Transfer *> finished;

    Engine(InputSource &source, std::unique_ptr<DocumentProbe> p, const RemoteOptions &o)
        : inner(source), probe(std::move(p)), options(o), counters(o.counters ? *o.counters : ownCounters)
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

    const S3Settings &s3Settings()
    {
        if (!s3Resolved) {
            s3 = resolveS3Settings(processAwsSources(), options.noSignRequest);
            if (s3.sign && s3.problem.empty())
                signer = std::make_unique<SigV4Signer>(s3.credentials, s3.region, "s3");
            s3Resolved = true;
        }
        return s3;
    }

    // Signs each attempt afresh: its time is part of the signature.
    std::function<void(std::vector<std::string> &)> signing(const std::string &host, const std::string &path,
                                                              std::vector<std::pair<std::string, std::string>> query)
    {
        if (!signer)
            return nullptr;
        SigV4Signer *with = signer.get();
        return [with, host, path, query](std::vector<std::string> &headers) {
            SignableRequest request;
            request.host = host;
            request.canonicalPath = path;
            request.query = query;
            for (std::string &line : with->sign(request, amzDate(int64_t(std::time(nullptr)))))
                headers.push_back(std::move(line));
        };
    }

    void fail(Entry &entry, const std::string &why)
    {
        if (entry.first)
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
            entry.item.remote = entry.document;
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
        if (!parseRemoteUrl(item.path, url, why) || !optionsProblem.empty()) {
            item.path = redactUrl(item.path);
            item.origin = InputOrigin::Failed;
            item.error = why.empty() ? optionsProblem : why;
            markReady(append(std::move(item)));
            return;
        }
        if (url.scheme == UrlScheme::S3 && url.prefix && item.origin == InputOrigin::Named) {
            listing = std::make_unique<Listing>();
            listing->url = url;
            listing->named = item.named;
            listing->keyPrefix = item.path.substr(0, 5 + url.bucket.size()) + "/";
            return;
        }
        if (!probe) { // listing only: the document goes on as it was named
            markReady(append(std::move(item)));
            return;
        }
        item.path = url.shown;
        Entry &entry = append(std::move(item));
        entry.url = std::move(url);
        entry.document = std::make_shared<RemoteDocument>();
        if (entry.url.scheme == UrlScheme::S3 && !s3Settings().problem.empty()) {
            fail(entry, s3.problem);
            return;
        }
        entry.wantStart = 0;
        entry.wantLength = kFirstWindowBytes;
        waiting[entry.sequence] = &entry;
    }

    void admitInputs()
    {
        while (held() < readAhead) {
            if (listing) {
                if (!listing->keys.empty()) {
                    ListingParser::Entry &key = listing->keys.front();
                    InputItem item;
                    item.path = listing->keyPrefix + key.key;
                    item.origin = InputOrigin::Walked;
                    item.named = listing->named;
                    // What the listing says of the object, which a catalogue compares with
                    // what it holds before anything is fetched.
                    item.listed.size = key.size;
                    item.listed.etag = std::move(key.etag);
                    item.listed.takenNs = wallClockNs();
                    listing->keys.pop_front();
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

    // ---- Requests.

    void requestListingPage()
    {
        Listing &l = *listing;
        const S3Settings &settings = s3Settings();
        if (!settings.problem.empty()) {
            l.failure = settings.problem;
            l.more = false;
            return;
        }
        const S3Location where = locateBucket(settings, l.url.bucket);
        // The bucket itself, without the slash a key would follow.
        std::string path = where.pathPrefix.size() > 1 ? where.pathPrefix.substr(0, where.pathPrefix.size() - 1)
                                                       : where.pathPrefix;
        const auto query = listObjectsQuery(l.url.key, l.token);
        std::string url = where.base.substr(0, where.base.size() - where.pathPrefix.size()) + path + "?";
        for (size_t i = 0; i < query.size(); ++i)
            url += (i ? "&" : "") + query[i].first + "=" + query[i].second;
        Transfer &t = l.transfer;
        t = Transfer{};
        t.url = url;
        t.sign = signing(where.host, path, query);
        t.followRedirects = false;
        t.keepLimit = kListingBytes;
        t.owner = nullptr;
        l.inFlight = true;
        transfers->start(&t);
    }

    void requestWindow(Entry &entry)
    {
        Transfer &t = entry.transfer;
        const std::string fetchUrl = entry.fetchUrl;
        t = Transfer{};
        t.owner = &entry;
        t.keepLimit = entry.wantLength;
        t.headers.push_back(rangeHeader(entry.wantStart, entry.wantLength));
        if (!entry.first) {
            // Every later range must come from the object the first answer came from. A weak
            // ETag never matches If-Match, which compares strongly: the date serves then, and
            // the answer's ETag is compared all the same.
            const std::string &etag = entry.document->etag;
            if (!etag.empty() && etag.compare(0, 2, "W/") != 0)
                t.headers.push_back("If-Match: " + etag);
            else if (!entry.document->lastModified.empty())
                t.headers.push_back("If-Unmodified-Since: " + entry.document->lastModified);
        }
        if (entry.url.scheme == UrlScheme::S3) {
            const S3Location where = locateBucket(s3, entry.url.bucket);
            const std::string key = percentEncode(entry.url.key, true);
            t.url = where.base + key;
            t.sign = signing(where.host, where.pathPrefix + key, {});
            t.followRedirects = false;
        } else {
            t.url = entry.first || fetchUrl.empty() ? entry.url.text : fetchUrl;
        }
        transfers->start(&t);
        if (entry.first)
            entry.began = t.started;
    }

    void startRequests()
    {
        if (listing && listing->more && !listing->inFlight && transfers->hasRoom())
            requestListingPage();
        while (transfers->hasRoom() && !waiting.empty()) {
            Entry &entry = *waiting.begin()->second;
            waiting.erase(waiting.begin());
            requestWindow(entry);
        }
    }

    // ---- Answers.

    void listingAnswered()
    {
        Listing &l = *listing;
        Transfer &t = l.transfer;
        l.inFlight = false;
        l.more = false;
        if (!t.error.empty() || t.status != 200) {
            l.failure = "cannot list: " + (t.error.empty() ? "HTTP " + std::to_string(t.status) : t.error);
            return;
        }
        ListingParser page;
        if (!page.feed(t.body.data(), t.body.size(), true) || t.cut) {
            l.failure = "cannot list: the listing is malformed";
            return;
        }
        for (ListingParser::Entry &e : page.entries)
            if (!e.key.empty() && e.key.back() != '/' && e.key.compare(0, l.url.key.size(), l.url.key) == 0)
                l.keys.push_back(std::move(e));
        if (page.truncated) {
            if (page.nextToken.empty() || page.nextToken == l.token) {
                l.failure = "cannot list: the listing gives no way on";
                return;
            }
            l.token = page.nextToken;
            l.more = true;
        }
        t.body = std::vector<char>();
    }

    // The first answer: the size, the first window, and what later ranges must match.
    bool firstAnswered(Entry &entry, std::string &why)
    {
        Transfer &t = entry.transfer;
        RemoteDocument &doc = *entry.document;
        ContentRange range;
        if (t.status == 416 && parseContentRange(t.contentRange, range) && range.unsatisfied) {
            if (range.total != 0) {
                why = "the server refused the first range";
                return false;
            }
            doc.size = 0; // an empty object
            return true;
        }
        if (!t.error.empty()) {
            why = t.error;
            return false;
        }
        doc.etag = t.etag;
        doc.lastModified = t.lastModified;
        entry.fetchUrl = t.effectiveUrl;
        if (t.status == 206) {
            if (!parseContentRange(t.contentRange, range) || range.unsatisfied || range.first != 0 ||
                t.body.size() != range.last + 1) {
                why = "the server's answer to a range request is malformed";
                return false;
            }
            doc.size = range.total;
        } else if (t.status == 200) {
            // The whole object came for a range: keep the window's worth and drop the rest.
            doc.rangesIgnored = true;
            if (!t.cut)
                doc.size = t.body.size();
            else if (!t.contentLength.empty())
                doc.size = std::strtoull(t.contentLength.c_str(), nullptr, 10);
            else {
                why = "the server ignores range requests and does not say how large the file is";
                return false;
            }
            if (doc.size < t.body.size()) {
                why = "truncated response";
                return false;
            }
        } else {
            why = "unexpected answer: HTTP " + std::to_string(t.status);
            return false;
        }
        doc.addWindow(0, std::move(t.body));
        return true;
    }

    bool laterAnswered(Entry &entry, std::string &why)
    {
        Transfer &t = entry.transfer;
        RemoteDocument &doc = *entry.document;
        if (!t.error.empty()) {
            why = t.error;
            return false;
        }
        ContentRange range;
        if (t.status == 200) {
            why = "the server ignored a range request";
            return false;
        }
        if (t.status != 206 || !parseContentRange(t.contentRange, range) || range.unsatisfied) {
            why = "unexpected answer: HTTP " + std::to_string(t.status);
            return false;
        }
        // A server that does not check If-Match still gives itself away.
        if (range.total != doc.size || (!doc.etag.empty() && !t.etag.empty() && t.etag != doc.etag)) {
            why = "changed while being read";
            return false;
        }
        if (range.first != entry.wantStart || t.body.size() != range.last - range.first + 1) {
            why = "the server's answer to a range request is malformed";
            return false;
        }
        doc.addWindow(range.first, std::move(t.body));
        return true;
    }

    void documentAnswered(Entry &entry)
    {
        Transfer &t = entry.transfer;
        RemoteDocument &doc = *entry.document;
        doc.counts.requests += t.attempts;
        doc.counts.retries += t.attempts - 1;
        doc.counts.bytesFetched += t.received;
        std::string why;
        const bool ok = entry.first ? firstAnswered(entry, why) : laterAnswered(entry, why);
        entry.first = false;
        t.body = std::vector<char>();
        if (!ok) {
            fail(entry, why);
            return;
        }
        uint64_t offset = 0, length = 0;
        if (!probe->miss(entry.item, doc, offset, length)) {
            const std::string fault = probe->fault();
            if (fault.empty())
                done(entry);
            else
                fail(entry, fault);
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
        entry.wantStart = plan.start;
        entry.wantLength = plan.length;
        waiting[entry.sequence] = &entry;
    }

    // Wakes the I/O thread where this thread can.
    void nudge()
    {
        if (transfers && std::this_thread::get_id() == starter)
            transfers->wake();
    }

    // How long the I/O thread waits for the network. A full queue empties without a word from
    // callers on other threads (see starter), so then it looks again soon; otherwise new work
    // comes from the transfers themselves, and stop() is seen within the wait.
    int pollMs()
    {
        const bool moreToAdmit = !innerDone || (listing && !listing->keys.empty());
        return held() >= readAhead && moreToAdmit ? 2 : 100;
    }

    // ---- The I/O thread.

    void run(InputItem first)
    {
        admit(std::move(first));
        while (true) {
            {
                std::lock_guard<std::mutex> guard(lock);
                if (stopping)
                    break;
            }
            admitInputs();
            startRequests();
            if (innerDone && !listing && waiting.empty() && transfers->idle())
                break;
            finished.clear();
            transfers->poll(finished, pollMs());
            for (Transfer *t : finished) {
                if (t->owner == nullptr)
                    listingAnswered();
                else
                    documentAnswered(*static_cast<Entry *>(t->owner));
            }
        }
        transfers->cancelAll();
        std::lock_guard<std::mutex> guard(lock);
        ended = true;
        readyChanged.notify_all();
    }
};

FetchStage::FetchStage(InputSource &inner, std::unique_ptr<DocumentProbe> probe, const RemoteOptions &options)
    : engine_(std::make_unique<Engine>(inner, std::move(probe), options))
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
        item.remote.reset();
        if (!isFetchable(item))
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
        e.transfers = std::make_unique<Transfers>(transferOptions(e.options), e.counters);
        e.starter = std::this_thread::get_id();
        auto first = std::make_shared<InputItem>(std::move(item));
        try {
            e.thread = std::thread([&e, first] { e.run(std::move(*first)); });
        } catch (const std::system_error &failure) {
            // A system out of threads fails this document, not the process.
            e.transfers.reset();
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
    return std::make_unique<FetchStage>(inputs, nullptr, options);
}

} // namespace zudorhost
