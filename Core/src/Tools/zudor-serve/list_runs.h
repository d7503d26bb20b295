// The documents a list request names (POST /v1/records): http(s) URLs and S3 objects or
// prefixes, fetched by the host library's remote stage from the hosts and buckets the service
// allows only, each read by a reader process of its own, their records handed back as JSON
// Lines in input order while the run goes on. Each list runs on a thread of its own, and holds
// at most a bounded amount of records the client has not taken: a client that stops reading
// stops its run, not the service.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "metrics.h"
#include "zudor_host/driver.h"
#include "zudor_host/isolation.h"
#include "zudor_host/remote.h"

namespace zudorserve {

class ListRun {
public:
    // sleep: the taker waits for records (called by take, which then answers none); wake: they
    // are here, or the run is over. Both are called under the run's lock, so that a wake can
    // never come before its sleep.
    ListRun(std::function<void()> sleep, std::function<void()> wake) : sleep_(std::move(sleep)), wake_(std::move(wake))
    {
    }

    // Up to max bytes of the records made so far. None with more false: the run is over, failed
    // set where it ended before its last record. None with more true: none is ready yet, and
    // sleep has been called.
    size_t take(char *into, size_t max, bool &more, bool &failed);
    // The client is gone: the run stops at its next batch.
    void cancel();
    uint64_t sent() const;

    // The run's side. False once the client has gone.
    bool put(const char *data, size_t size);
    void end(bool failed);

private:
    mutable std::mutex lock_;
    std::condition_variable room_;
    std::function<void()> sleep_, wake_;
    std::string held_;  // records made and not yet taken, from taken_ on
    size_t taken_ = 0;
    uint64_t sent_ = 0;
    bool ended_ = false, failed_ = false, cancelled_ = false, waiting_ = false;
};

class ListRuns {
public:
    // zones: the reader workers of each zone the service offers; most: lists run at once;
    // jobs: documents each list reads at once.
    ListRuns(std::vector<std::shared_ptr<zudorhost::ReaderWorkers>> zones, unsigned most, unsigned jobs,
             zudorhost::RemoteOptions remote, Metrics &metrics);
    ~ListRuns();
    ListRuns(const ListRuns &) = delete;
    ListRuns &operator=(const ListRuns &) = delete;

    bool full() const;
    // Starts reading the inputs on a thread of the run's own; false where `most` lists run now.
    bool start(std::shared_ptr<ListRun> run, std::vector<std::string> inputs, zudorhost::XmpMode xmp, size_t zone);
    // Waits until every list has ended.
    void stop();

private:
    void run(const std::shared_ptr<ListRun> &list, const std::vector<std::string> &inputs, zudorhost::XmpMode xmp,
             size_t zone);

    std::vector<std::shared_ptr<zudorhost::ReaderWorkers>> zones_;
    unsigned most_, jobs_;
    zudorhost::RemoteOptions remote_;
    Metrics &metrics_;
    mutable std::mutex lock_;
    std::condition_variable ended_;
    unsigned running_ = 0;
};

} // namespace zudorserve
