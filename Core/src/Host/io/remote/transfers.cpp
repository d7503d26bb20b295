#include "io/remote/transfers.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

#include "io/remote/http_fields.h"
#include "io/remote/remote_libraries.h"
#include "io/remote/s3_listing.h"
#include "platform/system.h"

namespace zudorhost {
namespace {

using Clock = std::chrono::steady_clock;

// Body bytes kept from an answer that is an error, enough for an S3 error document.
constexpr size_t kErrorBodyBytes = 4096;

// name is lower case.
bool startsWithNoCase(const char *line, size_t n, const char *name)
{
    const size_t length = std::strlen(name);
    if (n < length)
        return false;
    for (size_t i = 0; i < length; ++i)
        if (char(std::tolower(static_cast<unsigned char>(line[i]))) != name[i])
            return false;
    return true;
}

std::string headerValue(const char *line, size_t n, size_t nameLength)
{
    size_t start = nameLength, end = n;
    while (start < end && (line[start] == ' ' || line[start] == '\t'))
        ++start;
    while (end > start && (line[end - 1] == '\r' || line[end - 1] == '\n' || line[end - 1] == ' '))
        --end;
    return std::string(line + start, end - start);
}

size_t onHeader(char *line, size_t size, size_t count, void *data)
{
    Transfer &t = *static_cast<Transfer *>(data);
    const size_t n = size * count;
    t.lastActivity = Clock::now();
    // A status line starts the headers of another response (after a redirect or a 100).
    if (n >= 5 && std::strncmp(line, "HTTP/", 5) == 0) {
        t.contentRange.clear(), t.etag.clear(), t.lastModified.clear(), t.contentLength.clear();
        t.retryAfter.clear(), t.bucketRegion.clear();
        return n;
    }
    struct Field {
        const char *name;
        std::string Transfer::*into;
    };
    static const Field kFields[] = {{"content-range:", &Transfer::contentRange},
                                    {"etag:", &Transfer::etag},
                                    {"last-modified:", &Transfer::lastModified},
                                    {"content-length:", &Transfer::contentLength},
                                    {"retry-after:", &Transfer::retryAfter},
                                    {"x-amz-bucket-region:", &Transfer::bucketRegion}};
    for (const Field &field : kFields)
        if (startsWithNoCase(line, n, field.name)) {
            t.*field.into = headerValue(line, n, std::strlen(field.name));
            break;
        }
    return n;
}

size_t onBody(char *bytes, size_t size, size_t count, void *data)
{
    Transfer &t = *static_cast<Transfer *>(data);
    const size_t n = size * count;
    t.lastActivity = Clock::now();
    long status = 0;
    remote().easyGetinfo(static_cast<CURL *>(t.handle), CURLINFO_RESPONSE_CODE, &status);
    if (status >= 300) {
        const size_t room = kErrorBodyBytes - std::min(kErrorBodyBytes, t.body.size());
        t.body.insert(t.body.end(), bytes, bytes + std::min(room, n));
        return n;
    }
    if (t.body.empty()) {
        // Room for the whole answer at once where its length is known.
        ContentRange range;
        uint64_t expected = 0;
        if (parseContentRange(t.contentRange, range) && !range.unsatisfied)
            expected = range.last - range.first + 1;
        else if (!t.contentLength.empty())
            expected = std::strtoull(t.contentLength.c_str(), nullptr, 10);
        t.body.reserve(size_t(std::min<uint64_t>(expected, t.keepLimit)));
    }
    const uint64_t room = t.keepLimit - std::min<uint64_t>(t.keepLimit, t.body.size());
    t.body.insert(t.body.end(), bytes, bytes + size_t(std::min<uint64_t>(room, n)));
    if (n > room) {
        t.cut = true;
        return 0; // drops the transfer: what lies beyond is not wanted
    }
    return n;
}

// Called once the attempt has a connection, made or reused, before its request is sent: the
// wait for an answer starts here, not at the attempt's start.
int onConnected(void *data, char *, char *, int, int)
{
    Transfer &t = *static_cast<Transfer *>(data);
    t.connected = true;
    t.lastActivity = Clock::now();
    return CURL_PREREQFUNC_OK;
}

std::string s3Code(const std::vector<char> &body)
{
    if (body.empty())
        return std::string();
    ListingParser parser;
    parser.feed(body.data(), body.size(), true);
    return parser.errorCode;
}

// The code of an S3 error document, if the body is one; only its letters and digits, as a
// server could put anything there.
std::string withCode(const char *what, const std::vector<char> &body)
{
    std::string code;
    for (const char c : s3Code(body))
        if (((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) && code.size() < 64)
            code += c;
    return code.empty() ? std::string(what) : std::string(what) + " (" + code + ")";
}

} // namespace

TransferOptions transferOptions(const RemoteOptions &options)
{
    TransferOptions t;
    t.connections = std::max(1u, options.connections);
    t.caFile = options.caFile;
    t.connectTimeout = t.stallTimeout = options.timeout;
    t.attempts = options.retries + 1;
    t.followRedirects = !options.limited;
    return t;
}

Transfers::Transfers(const TransferOptions &options, RemoteCounters &counters)
    : options_(options), counters_(counters), random_(std::random_device{}())
{
    options_.connections = std::max(1u, options_.connections);
    options_.attempts = std::max(1u, options_.attempts);
    multi_ = remote().multiInit();
    CURLM *multi = static_cast<CURLM *>(multi_);
    remote().multiSetopt(multi, CURLMOPT_PIPELINING, long(CURLPIPE_MULTIPLEX));
    remote().multiSetopt(multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, long(options_.connections));
    remote().multiSetopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, long(options_.connections));
    remote().multiSetopt(multi, CURLMOPT_MAXCONNECTS, long(options_.connections));
}

Transfers::~Transfers()
{
    cancelAll();
    for (void *handle : spareHandles_)
        remote().easyCleanup(static_cast<CURL *>(handle));
    remote().multiCleanup(static_cast<CURLM *>(multi_));
}

void Transfers::start(Transfer *t)
{
    t->attempts = 0;
    t->received = 0;
    t->started = Clock::now();
    launch(t);
}

void Transfers::launch(Transfer *t)
{
    ++t->attempts;
    ++counters_.requests;
    t->status = 0;
    t->curlCode = 0;
    t->cut = false;
    t->error.clear();
    t->body.clear();
    t->contentRange.clear(), t->etag.clear(), t->lastModified.clear(), t->contentLength.clear();
    t->retryAfter.clear(), t->bucketRegion.clear(), t->effectiveUrl.clear();
    t->errorText[0] = '\0';
    t->connected = false;
    t->lastActivity = Clock::now();

    CURL *easy;
    if (!spareHandles_.empty()) {
        easy = static_cast<CURL *>(spareHandles_.back());
        spareHandles_.pop_back();
        remote().easyReset(easy);
    } else {
        easy = remote().easyInit();
    }
    t->handle = easy;
    std::vector<std::string> headers = t->headers;
    if (t->sign)
        t->sign(headers);
    curl_slist *list = nullptr;
    for (const std::string &header : headers)
        list = remote().slistAppend(list, header.c_str());
    t->headerList = list;

    const bool https = startsWithNoCase(t->url.c_str(), t->url.size(), "https:");
    remote().easySetopt(easy, CURLOPT_URL, t->url.c_str());
    remote().easySetopt(easy, CURLOPT_HTTPHEADER, list);
    remote().easySetopt(easy, CURLOPT_PRIVATE, t);
    remote().easySetopt(easy, CURLOPT_NOSIGNAL, 1L);
    remote().easySetopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    remote().easySetopt(easy, CURLOPT_FOLLOWLOCATION, t->followRedirects && options_.followRedirects ? 1L : 0L);
    remote().easySetopt(easy, CURLOPT_MAXREDIRS, long(options_.maxRedirects));
    // Never from https to http: what was asked for over TLS is not fetched in the clear.
    remote().easySetopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, https ? "https" : "http,https");
    // libcurl bounds the connect; poll() bounds every wait after it. libcurl's low-speed check
    // averages over seconds and let a body that stopped after its first bytes run on for
    // several timeouts.
    remote().easySetopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(options_.connectTimeout * 1000));
    remote().easySetopt(easy, CURLOPT_PREREQFUNCTION, onConnected);
    remote().easySetopt(easy, CURLOPT_PREREQDATA, t);
    if (!options_.caFile.empty())
        remote().easySetopt(easy, CURLOPT_CAINFO, options_.caFile.c_str());
    remote().easySetopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
    // Over TLS a new transfer waits for a stream on a connection being set up rather than
    // opening another to the same server; plain HTTP is never multiplexed, and waiting there
    // would only hold back the other connections by a round trip.
    remote().easySetopt(easy, CURLOPT_PIPEWAIT, https ? 1L : 0L);
    remote().easySetopt(easy, CURLOPT_USERAGENT, "zudor/1.0");
    remote().easySetopt(easy, CURLOPT_ERRORBUFFER, t->errorText);
    remote().easySetopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
    remote().easySetopt(easy, CURLOPT_HEADERDATA, t);
    remote().easySetopt(easy, CURLOPT_WRITEFUNCTION, onBody);
    remote().easySetopt(easy, CURLOPT_WRITEDATA, t);
    remote().multiAddHandle(static_cast<CURLM *>(multi_), easy);
    running_.push_back(t);
}

bool Transfers::retryable(const Transfer &t, int code, std::string &why) const
{
    const char *detail = t.errorText[0] != '\0' ? t.errorText : remote().easyStrerror(CURLcode(code));
    switch (CURLcode(code)) {
    case CURLE_OK:
        break;
    case CURLE_PARTIAL_FILE:
        why = "truncated response";
        return true;
    case CURLE_COULDNT_CONNECT:
        why = std::string("cannot connect: ") + detail;
        return true;
    case CURLE_OPERATION_TIMEDOUT:
        why = t.connected || t.status != 0 ? "transfer stalled (timed out waiting for data)" : "connect timed out";
        return true;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        why = "connection reset";
        return true;
    case CURLE_PEER_FAILED_VERIFICATION:
        why = std::string("TLS certificate not trusted: ") + detail;
        return false;
    case CURLE_TOO_MANY_REDIRECTS:
        why = "too many redirects";
        return false;
    case CURLE_UNSUPPORTED_PROTOCOL:
        why = "redirected to a scheme that is not allowed (never from https to http)";
        return false;
    default:
        why = detail;
        return false;
    }
    const long status = t.status;
    if (status == 206 || status == 200) {
        ContentRange range;
        if (status == 206 && parseContentRange(t.contentRange, range) && !range.unsatisfied &&
            t.body.size() < range.last - range.first + 1 && !t.cut) {
            why = "truncated response";
            return true;
        }
        return false;
    }
    switch (status) {
    case 401:
    case 403: why = withCode("access denied", t.body); return false;
    case 404:
    case 410: why = withCode("not found", t.body); return false;
    case 412: why = "changed while being read"; return false;
    case 408:
    case 500:
    case 502:
    case 503:
    case 504: why = withCode(("server error: HTTP " + std::to_string(status)).c_str(), t.body); return true;
    case 429: why = "too many requests: HTTP 429"; return true;
    default: break;
    }
    if (status >= 300 && status < 400) {
        why = "redirected (HTTP " + std::to_string(status) + ")";
        if (!t.bucketRegion.empty())
            why += ": the bucket is in region " + t.bucketRegion + "; set AWS_REGION";
        else if (t.followRedirects && !options_.followRedirects)
            why += ", not followed: this run fetches only from the hosts it was given";
        return false;
    }
    if (status >= 400)
        why = withCode(("HTTP " + std::to_string(status)).c_str(), t.body);
    return false;
}

double Transfers::backoff(const Transfer &t)
{
    const double ceiling = std::min(options_.backoffCap, options_.backoffBase * std::ldexp(1.0, int(t.attempts) - 1));
    // Half fixed, half drawn: retries of many transfers spread out, and none comes at once.
    double delay = ceiling / 2 + std::uniform_real_distribution<double>(0, ceiling / 2)(random_);
    const double asked = parseRetryAfter(t.retryAfter, os::native().wallClockNs() / 1000000000);
    if (asked >= 0)
        delay = std::max(delay, std::min(asked, options_.retryAfterCap));
    return delay;
}

void Transfers::finish(Transfer *t, int code, std::vector<Transfer *> &finished)
{
    CURL *easy = static_cast<CURL *>(t->handle);
    remote().easyGetinfo(easy, CURLINFO_RESPONSE_CODE, &t->status);
    char *effective = nullptr;
    if (remote().easyGetinfo(easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective != nullptr)
        t->effectiveUrl = effective;
    curl_off_t received = 0;
    remote().easyGetinfo(easy, CURLINFO_SIZE_DOWNLOAD_T, &received);
    counters_.bytes += uint64_t(received);
    t->received += uint64_t(received);
    // A transfer cut at its limit on purpose ended as it should.
    if (code == CURLE_WRITE_ERROR && t->cut)
        code = CURLE_OK;
    t->curlCode = code;
    std::string why;
    const bool again = retryable(*t, code, why);
    remote().multiRemoveHandle(static_cast<CURLM *>(multi_), easy);
    remote().slistFreeAll(static_cast<curl_slist *>(t->headerList));
    t->headerList = nullptr;
    spareHandles_.push_back(easy);
    t->handle = nullptr;
    running_.erase(std::find(running_.begin(), running_.end(), t));
    if (again && t->attempts < options_.attempts) {
        ++counters_.retries;
        t->due = Clock::now() + std::chrono::microseconds(int64_t(backoff(*t) * 1e6));
        waiting_.push_back(t);
        return;
    }
    if (!why.empty())
        t->error = again ? why + " (gave up after " + std::to_string(t->attempts) +
                               (t->attempts == 1 ? " attempt)" : " attempts)")
                         : why;
    finished.push_back(t);
}

void Transfers::collect(std::vector<Transfer *> &finished)
{
    CURLM *multi = static_cast<CURLM *>(multi_);
    int active = 0, left = 0;
    remote().multiPerform(multi, &active);
    while (CURLMsg *message = remote().multiInfoRead(multi, &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        Transfer *t = nullptr;
        remote().easyGetinfo(message->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char **>(&t));
        finish(t, message->data.result, finished);
    }
}

void Transfers::poll(std::vector<Transfer *> &finished, int timeoutMs)
{
    const auto now = Clock::now();
    for (size_t i = 0; i < waiting_.size();) {
        if (waiting_[i]->due <= now) {
            Transfer *t = waiting_[i];
            waiting_.erase(waiting_.begin() + long(i));
            launch(t);
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(waiting_[i]->due - now).count();
        timeoutMs = int(std::min<int64_t>(timeoutMs, std::max<int64_t>(1, left)));
        ++i;
    }
    timeoutMs = msToFirstStall(timeoutMs);
    const size_t before = finished.size();
    collect(finished);
    if (finished.size() == before && timeoutMs > 0) {
        remote().multiPoll(static_cast<CURLM *>(multi_), nullptr, 0, timeoutMs, nullptr);
        collect(finished);
    }
    // After collect(), which has taken in whatever bytes had come meanwhile.
    endStalled(finished);
}

Clock::time_point Transfers::stallDeadline(const Transfer &t) const
{
    const double limit = t.connected ? options_.stallTimeout : options_.connectTimeout;
    return t.lastActivity + std::chrono::microseconds(int64_t(limit * 1e6));
}

int Transfers::msToFirstStall(int timeoutMs) const
{
    const auto now = Clock::now();
    for (const Transfer *t : running_) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(stallDeadline(*t) - now).count();
        timeoutMs = int(std::min<int64_t>(timeoutMs, std::max<int64_t>(0, (left + 999) / 1000)));
    }
    return timeoutMs;
}

// Ends, as timed out, every transfer that has waited longer than the timeout for a connection
// or for its next byte, whatever libcurl's own timers say; each is retried as any timeout is.
void Transfers::endStalled(std::vector<Transfer *> &finished)
{
    const auto now = Clock::now();
    std::vector<Transfer *> stalled;
    for (Transfer *t : running_)
        if (stallDeadline(*t) <= now)
            stalled.push_back(t);
    for (Transfer *t : stalled)
        finish(t, CURLE_OPERATION_TIMEDOUT, finished);
}

void Transfers::wake() { remote().multiWakeup(static_cast<CURLM *>(multi_)); }

void Transfers::cancelAll()
{
    for (Transfer *t : running_) {
        CURL *easy = static_cast<CURL *>(t->handle);
        remote().multiRemoveHandle(static_cast<CURLM *>(multi_), easy);
        remote().slistFreeAll(static_cast<curl_slist *>(t->headerList));
        t->headerList = nullptr;
        t->handle = nullptr;
        spareHandles_.push_back(easy);
    }
    running_.clear();
    waiting_.clear();
}

} // namespace zudorhost
