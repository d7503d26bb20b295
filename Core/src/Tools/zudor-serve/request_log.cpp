#include "request_log.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <unistd.h>

#include "zudor_host/text_encoding.h"

namespace zudorserve {
namespace {

void appendTime(std::string &out)
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long millis = long(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "{\"time\":\"%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ\"", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    out += text;
}

// One write(2) a line: lines from the service's threads never interleave.
void emit(std::string &line)
{
    line += "}\n";
    for (size_t done = 0; done < line.size();) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n <= 0)
            return; // a log that cannot be written must not stop the service
        done += size_t(n);
    }
}

} // namespace

void appendJsonString(std::string &out, const char *text, size_t length)
{
    std::string scratch;
    const char *utf8 = zudorhost::asUtf8(text, length, scratch);
    out += '"';
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        char escaped[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else if (c == 0xC2 && i + 1 < length && static_cast<unsigned char>(utf8[i + 1]) < 0xA0) {
            // C1 controls, U+0080 to U+009F, which some terminals obey.
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(utf8[++i]));
            out += escaped;
        } else {
            out += char(c);
        }
    }
    out += '"';
}

void logRequest(const RequestEntry &entry)
{
    std::string line;
    appendTime(line);
    line += ",\"method\":";
    appendJsonString(line, entry.method);
    line += ",\"path\":";
    appendJsonString(line, entry.path);
    char numbers[160];
    std::snprintf(numbers, sizeof numbers, ",\"status\":%d,\"bytes_in\":%llu,\"bytes_out\":%llu,\"ms\":%.3f",
                  entry.status, (unsigned long long)entry.bytesIn, (unsigned long long)entry.bytesOut, entry.ms);
    line += numbers;
    for (const auto &[key, value] : {std::make_pair(",\"summary\":\"", entry.summary),
                                     std::make_pair(",\"refused\":\"", entry.refused),
                                     std::make_pair(",\"ended\":\"", entry.ended)})
        if (value != nullptr) {
            line += key;
            line += value; // the service's own words, never a client's
            line += '"';
        }
    emit(line);
}

void logEvent(const char *event, const std::string &message)
{
    std::string line;
    appendTime(line);
    line += ",\"event\":\"";
    line += event;
    line += "\",\"message\":";
    appendJsonString(line, message);
    emit(line);
}

} // namespace zudorserve
