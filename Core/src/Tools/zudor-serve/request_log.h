// The service's log: one JSON object a line on the standard error, for a journal or a log
// shipper. Nothing a client sends reaches it but the method and the path (never the query,
// headers or body), so no token or secret can.
#pragma once

#include <cstdint>
#include <string>

namespace zudorserve {

struct RequestEntry {
    std::string method, path; // as received; escaped when written
    int status = 0;            // 0: the connection ended before an answer
    const char *ended = nullptr; // why, when status is 0
    uint64_t bytesIn = 0, bytesOut = 0;
    double ms = 0;
    const char *summary = nullptr; // a record's summary
    const char *refused = nullptr; // a refusal's cause (metrics.h)
};

void logRequest(const RequestEntry &entry);
// An event of the service's own: started, tokens reloaded, stopping; message is its own words.
void logEvent(const char *event, const std::string &message);

// Appends text as a JSON string, quotes included: mended into UTF-8, with every control
// character (C0, DEL, C1) escaped, so that a strict parser takes it and a terminal shows it.
void appendJsonString(std::string &out, const char *text, size_t length);
inline void appendJsonString(std::string &out, const std::string &text)
{
    appendJsonString(out, text.data(), text.size());
}

} // namespace zudorserve
