// What the service counts, written as Prometheus text for GET /metrics. Counters only go up;
// the two gauges say what is under way now.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "zudor_host/driver.h"

namespace zudorserve {

// Why a request was turned away before a document was read.
enum class Refusal { Unauthorized, BodyTooLarge, Busy, Stopping, BadRequest, NotFound, Method, ReceiveTimeout, Forbidden,
                     Count };
const char *refusalName(Refusal refusal);

// Why a document's reader was ended and another made in its place, from its record's error.
enum class ReaderEnd { Crashed, Exited, Timeout, Memory, Sandbox, Channel, Count };
const char *readerEndName(ReaderEnd end);
// The cause named by an isolated reader's error, or false for an error of the document itself.
bool readerEndOf(const char *error, ReaderEnd &end);

class Metrics {
public:
    void request(int status); // 0: the connection ended before an answer
    void refused(Refusal refusal) { refused_[size_t(refusal)]++; }
    // seconds: a record request's latency; negative for a listed document, which has none of its own.
    void document(zudorhost::SummaryState summary, const char *error, double seconds);
    void bytesIn(uint64_t bytes) { bytesIn_ += bytes; }

    std::atomic<int64_t> documentsInProgress{0}; // admitted: queued or being read
    std::atomic<int64_t> requestsInFlight{0};

    std::string text() const;

private:
    mutable std::mutex statusLock_;
    std::map<int, uint64_t> statuses_;
    std::array<std::atomic<uint64_t>, 3> summaries_{};
    std::array<std::atomic<uint64_t>, size_t(ReaderEnd::Count)> readerEnds_{};
    std::array<std::atomic<uint64_t>, size_t(Refusal::Count)> refused_{};
    std::atomic<uint64_t> bytesIn_{0};
    // Seconds from a record request's headers to its record, in Prometheus's cumulative buckets.
    static constexpr std::array<double, 14> kBounds = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                                        0.25,  0.5,    1,     2.5,  5,     10,  60};
    std::array<std::atomic<uint64_t>, kBounds.size() + 1> buckets_{};
    std::atomic<uint64_t> latencyMicros_{0};
};

} // namespace zudorserve
