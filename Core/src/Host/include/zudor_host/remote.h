// Remote inputs: http(s) URLs, s3://bucket/key and s3://bucket/prefix/, read by ranges. The
// runner fetches them ahead of its workers on one I/O thread with many requests in flight;
// --jobs stays the number of CPU workers. What a front end chooses and what it can count.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zudor_host/inputs.h"

namespace zudorhost {

// Whether a path names a remote input (http://, https:// or s3://, any case).
bool isRemoteInput(const std::string &path);

// A histogram of per-document fetch times in 1% steps, for a median without a list.
class LatencyHistogram {
public:
    void add(double seconds);
    double quantile(double q) const; // seconds; 0 when empty
    double median() const { return quantile(0.5); }
    uint64_t count() const { return count_; }

private:
    std::vector<uint32_t> buckets_;
    uint64_t count_ = 0;
};

// Counted over a run. The atomics may be read at any time (a progress line); the latencies
// only once the run is over.
struct RemoteCounters {
    std::atomic<uint64_t> requests{0};
    std::atomic<uint64_t> bytes{0}; // body bytes received, kept or not
    std::atomic<uint64_t> retries{0};
    LatencyHistogram latencies;     // from a document's first request to its last answer
};

struct RemoteOptions {
    unsigned connections = 32;  // requests in flight, and connections kept, at most
    std::string caFile;         // certificates to trust instead of the system's store
    double timeout = 10;        // the longest wait in seconds: to connect, for a first byte, between two bytes
    unsigned retries = 4;       // after the first attempt, for a failure worth trying again
    bool noSignRequest = false; // S3 requests go unsigned (public buckets)
    unsigned readAhead = 0;     // documents held or in flight ahead; 0: 4 per connection, at least 64
    RemoteCounters *counters = nullptr; // where to count, or null
    // Where a run may fetch from, for a front end whose inputs come from others (a service):
    // when limited, an http(s) input is fetched only from a host of allowedHosts (HOST for the
    // scheme's default port, HOST:PORT for another) and an S3 one only from a bucket of
    // allowedBuckets; any other gets a record saying so and no request, and a redirect is not
    // followed, as it would lead to an address nobody named.
    bool limited = false;
    std::vector<std::string> allowedHosts;
    std::vector<std::string> allowedBuckets;
};

// Whether input (a remote input) is one that options allow to be fetched; false with why.
bool remoteInputAllowed(const std::string &input, const RemoteOptions &options, std::string &why);

// Settles a front end's remote options before the run: a CA file from AWS_CA_BUNDLE when none
// is given (as the AWS tools take it), and a CA file that cannot be read refused at once, not
// in every record. False, with why in words a user can act on, where the options cannot serve.
bool prepareRemoteOptions(RemoteOptions &options, std::string &error);

// The inputs with every S3 prefix among them expanded into its keys, in order; nothing is
// fetched. The Dask client's walk: its workers fetch the keys.
std::unique_ptr<InputSource> listedSource(InputSource &inputs, const RemoteOptions &options);

} // namespace zudorhost
