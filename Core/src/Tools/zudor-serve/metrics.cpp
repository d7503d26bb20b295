#include "metrics.h"

#include <cstdio>
#include <cstring>

namespace zudorserve {

const char *refusalName(Refusal refusal)
{
    static const char *const names[] = {"unauthorized", "body_too_large", "busy",     "stopping",
                                        "bad_request",  "not_found",      "method", "receive_timeout", "forbidden"};
    static_assert(sizeof names / sizeof *names == size_t(Refusal::Count), "a name for every refusal");
    return names[size_t(refusal)];
}

const char *readerEndName(ReaderEnd end)
{
    static const char *const names[] = {"crashed", "exited", "timeout", "memory", "sandbox", "channel"};
    static_assert(sizeof names / sizeof *names == size_t(ReaderEnd::Count), "a name for every cause");
    return names[size_t(end)];
}

bool readerEndOf(const char *error, ReaderEnd &end)
{
    // The isolated reader's own words (run/isolation): a document's own errors never start so.
    static const struct {
        const char *start;
        ReaderEnd end;
    } causes[] = {{"the reader crashed", ReaderEnd::Crashed},
                  {"the reader ended its process", ReaderEnd::Exited},
                  {"the reader's process ended", ReaderEnd::Exited},
                  {"the reader took longer than", ReaderEnd::Timeout},
                  {"the reader exceeded", ReaderEnd::Memory},
                  {"the sandbox stopped the reader", ReaderEnd::Sandbox},
                  {"the reader ", ReaderEnd::Channel}};
    if (error == nullptr)
        return false;
    for (const auto &cause : causes)
        if (std::strncmp(error, cause.start, std::strlen(cause.start)) == 0) {
            end = cause.end;
            return true;
        }
    return false;
}

void Metrics::request(int status)
{
    std::lock_guard<std::mutex> hold(statusLock_);
    statuses_[status]++;
}

void Metrics::document(zudorhost::SummaryState summary, const char *error, double seconds)
{
    summaries_[size_t(summary)]++;
    ReaderEnd end;
    if (readerEndOf(error, end))
        readerEnds_[size_t(end)]++;
    if (seconds < 0)
        return;
    size_t bucket = 0;
    while (bucket < kBounds.size() && seconds > kBounds[bucket])
        ++bucket;
    buckets_[bucket]++;
    latencyMicros_ += uint64_t(seconds * 1e6);
}

std::string Metrics::text() const
{
    std::string out;
    char line[160];
    const auto add = [&](const char *format, auto... values) {
        std::snprintf(line, sizeof line, format, values...);
        out += line;
    };
    out += "# HELP zudor_serve_requests_total Requests answered, by HTTP status (0: the connection ended first).\n"
           "# TYPE zudor_serve_requests_total counter\n";
    {
        std::lock_guard<std::mutex> hold(statusLock_);
        for (const auto &[status, count] : statuses_)
            add("zudor_serve_requests_total{status=\"%d\"} %llu\n", status, (unsigned long long)count);
    }
    out += "# HELP zudor_serve_documents_total Documents read, by the summary of their record.\n"
           "# TYPE zudor_serve_documents_total counter\n";
    for (zudorhost::SummaryState state :
         {zudorhost::SummaryState::Complete, zudorhost::SummaryState::Partial, zudorhost::SummaryState::None})
        add("zudor_serve_documents_total{summary=\"%s\"} %llu\n", zudorhost::summaryName(state),
            (unsigned long long)summaries_[size_t(state)].load());
    out += "# HELP zudor_serve_readers_replaced_total Reader processes ended by the service, by cause.\n"
           "# TYPE zudor_serve_readers_replaced_total counter\n";
    for (size_t i = 0; i < readerEnds_.size(); ++i)
        add("zudor_serve_readers_replaced_total{cause=\"%s\"} %llu\n", readerEndName(ReaderEnd(i)),
            (unsigned long long)readerEnds_[i].load());
    out += "# HELP zudor_serve_refused_total Requests turned away before a document was read, by cause.\n"
           "# TYPE zudor_serve_refused_total counter\n";
    for (size_t i = 0; i < refused_.size(); ++i)
        add("zudor_serve_refused_total{cause=\"%s\"} %llu\n", refusalName(Refusal(i)),
            (unsigned long long)refused_[i].load());
    out += "# HELP zudor_serve_bytes_in_total Bytes of documents received.\n"
           "# TYPE zudor_serve_bytes_in_total counter\n";
    add("zudor_serve_bytes_in_total %llu\n", (unsigned long long)bytesIn_.load());
    out += "# HELP zudor_serve_record_seconds Time from a record request's headers to its record.\n"
           "# TYPE zudor_serve_record_seconds histogram\n";
    uint64_t cumulative = 0;
    for (size_t i = 0; i < buckets_.size(); ++i) {
        cumulative += buckets_[i].load();
        if (i < kBounds.size())
            add("zudor_serve_record_seconds_bucket{le=\"%g\"} %llu\n", kBounds[i], (unsigned long long)cumulative);
        else
            add("zudor_serve_record_seconds_bucket{le=\"+Inf\"} %llu\n", (unsigned long long)cumulative);
    }
    add("zudor_serve_record_seconds_sum %.6f\n", double(latencyMicros_.load()) / 1e6);
    add("zudor_serve_record_seconds_count %llu\n", (unsigned long long)cumulative);
    out += "# HELP zudor_serve_documents_in_progress Documents admitted and not yet answered: queued or being read.\n"
           "# TYPE zudor_serve_documents_in_progress gauge\n";
    add("zudor_serve_documents_in_progress %lld\n", (long long)documentsInProgress.load());
    out += "# HELP zudor_serve_requests_in_flight Requests whose headers have arrived and that are not yet answered.\n"
           "# TYPE zudor_serve_requests_in_flight gauge\n";
    add("zudor_serve_requests_in_flight %lld\n", (long long)requestsInFlight.load());
    return out;
}

} // namespace zudorserve
