// What a fetch stage asks of a remote store, and what it gets back: a window of one object (a
// ranged GET with the conditions that keep every later window to the object the first came
// from, S3's addressing and signature), its answer checked and added to what is held of the
// object, or a failure that says why; and one page of an S3 listing, its keys taken. Many
// fetches are in flight on the one thread that polls.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "io/remote/remote_document.h"
#include "io/remote/s3_listing.h"
#include "io/remote/transfers.h"
#include "io/remote/url.h"

namespace zudorhost {

struct S3Access;

// A fetch in flight: a window or a listing page. Its owner keeps it alive until poll() has
// handed it back.
struct ObjectFetch {
    enum class Kind { Window, ListingPage };
    Kind kind = Kind::Window;
    const RemoteUrl *url = nullptr; // the object, or the prefix listed; outlives the fetch
    void *owner = nullptr;
    std::string failure;            // why, once done: empty when the fetch succeeded
    Transfer transfer;              // the fetcher's
};

// A window of an object: [start, start + length), added to document when it comes.
struct WindowFetch : ObjectFetch {
    RemoteDocument *document = nullptr; // what is held of the object so far
    uint64_t start = 0, length = 0;
    bool first = true;    // the first window of the object: its answer sets the size and ETag
    std::string fetchUrl; // where the first answer came from, after redirects
};

// A page of the keys under a prefix.
struct ListingFetch : ObjectFetch {
    std::string token;                      // the page to ask for: empty for the first
    std::deque<ListingParser::Entry> keys;  // the page's keys below the prefix, appended
    bool more = false;                      // a further page follows (token is its own)
};

class ObjectFetcher {
public:
    ObjectFetcher(const RemoteOptions &options, RemoteCounters &counters);
    ~ObjectFetcher();
    ObjectFetcher(const ObjectFetcher &) = delete;
    ObjectFetcher &operator=(const ObjectFetcher &) = delete;

    // Why S3 objects cannot be read at all (no credentials, ...), taken when first asked; empty
    // when they can.
    const std::string &s3Problem();

    bool hasRoom() const { return transfers_.hasRoom(); }
    bool idle() const { return transfers_.idle(); }
    void fetchWindow(WindowFetch &fetch);
    void fetchListingPage(ListingFetch &fetch);
    // Moves the fetches on for up to timeoutMs, and appends those done, their answers taken.
    void poll(std::vector<ObjectFetch *> &done, int timeoutMs);
    // Cuts short a poll() from another thread.
    void wake() { transfers_.wake(); }
    void cancelAll() { transfers_.cancelAll(); }

private:
    void windowAnswered(WindowFetch &fetch);
    void listingAnswered(ListingFetch &fetch);

    RemoteOptions options_;
    Transfers transfers_;
    std::unique_ptr<S3Access> s3_;
    std::vector<Transfer *> finished_;
};

} // namespace zudorhost
